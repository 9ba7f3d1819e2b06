#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

namespace brindlet::deck {

// The accessibility trees of running apps. Element calls block on the app that owns the element,
// so they are only made inside work handed to visit(), which runs them where a hung app cannot
// stall the caller. Elements must not outlive that work.
class AccessibilityTree {
 public:
  // An opaque handle to one element; empty for none.
  using Element = std::shared_ptr<void>;

  enum class Role {
    application,
    frame,
    window,
    dialog,
    menuBar,
    menu,
    menuItem,
    checkMenuItem,
    radioMenuItem,
    toolBar,
    panel,
    filler,
    pushButton,
    toggleButton,
    checkBox,
    radioButton,
    pushButtonMenu,
    documentWeb,
    other
  };

  virtual ~AccessibilityTree() = default;

  // Runs `work` where element calls may be made and resumes the caller on its own executor.
  virtual boost::asio::awaitable<void> visit(std::function<void()> work) = 0;

  // Element calls: every one answers an empty value or list when the element cannot be read.
  virtual std::vector<Element> applications() = 0;
  virtual int processId(const Element& element) = 0;
  virtual std::vector<Element> children(const Element& element) = 0;
  virtual Role role(const Element& element) = 0;
  virtual std::string name(const Element& element) = 0;
  virtual std::string description(const Element& element) = 0;
  // The current number as its shortest decimal text, else the text contents, else nothing.
  virtual std::optional<std::string> value(const Element& element) = 0;
  // Whether the element is a window with the input focus of its app.
  virtual bool isActive(const Element& element) = 0;
};

}  // namespace brindlet::deck
