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
// stall the caller. Elements themselves may be kept anywhere, to be used in a later visit.
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
  // Asks the session's apps to publish their trees: some toolkits only do on request.
  virtual void requestTrees() = 0;
  // The elements of those roles below `root` in tree order, in one request; nothing when the app
  // cannot answer such a request.
  virtual std::optional<std::vector<Element>> descendants(const Element& root,
                                                          const std::vector<Role>& roles) = 0;
  // Performs the element's first action; whether the app took it.
  virtual bool press(const Element& element) = 0;

  // The app with that process id.
  Element application(int pid);
  // The app's frames, windows and dialogs, in its order.
  std::vector<Element> windows(const Element& app);
};

}  // namespace brindlet::deck
