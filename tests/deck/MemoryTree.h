#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "deck/AccessibilityTree.h"

namespace brindlet::deck::testing {

using Role = AccessibilityTree::Role;

// An accessibility tree held in memory: apps, windows and controls as plain nodes.
struct Node {
  Role role = Role::other;
  std::string name;
  std::string description;
  std::optional<std::string> value;
  bool active = false;
  int pid = 0;
  std::vector<std::shared_ptr<Node>> children;
};
using NodePtr = std::shared_ptr<Node>;

inline NodePtr node(Role role, std::string name, std::vector<NodePtr> children = {}) {
  return std::make_shared<Node>(Node{role, std::move(name), {}, {}, false, 0, std::move(children)});
}
inline NodePtr with(NodePtr n, auto change) {
  change(*n);
  return n;
}

class MemoryTree : public AccessibilityTree {
 public:
  std::vector<NodePtr> apps;
  int visits = 0;
  int requests = 0;
  bool collection = false;  // whether descendants() answers
  std::vector<std::string> pressed;

  boost::asio::awaitable<void> visit(std::function<void()> work) override {
    ++visits;
    work();
    co_return;
  }
  std::vector<Element> applications() override { return {apps.begin(), apps.end()}; }
  int processId(const Element& e) override { return at(e).pid; }
  std::vector<Element> children(const Element& e) override {
    return {at(e).children.begin(), at(e).children.end()};
  }
  Role role(const Element& e) override { return at(e).role; }
  std::string name(const Element& e) override { return at(e).name; }
  std::string description(const Element& e) override { return at(e).description; }
  std::optional<std::string> value(const Element& e) override { return at(e).value; }
  bool isActive(const Element& e) override { return at(e).active; }
  void requestTrees() override { ++requests; }
  std::optional<std::vector<Element>> descendants(const Element& e,
                                                  const std::vector<Role>& roles) override {
    if (!collection) return std::nullopt;
    std::vector<Element> found;
    const std::function<void(const NodePtr&)> add = [&](const NodePtr& n) {
      if (std::ranges::find(roles, n->role) != roles.end()) found.push_back(n);
      for (const auto& child : n->children) add(child);
    };
    for (const auto& child : at(e).children) add(child);
    return found;
  }
  bool press(const Element& e) override {
    pressed.push_back(at(e).name);
    return true;
  }

 private:
  static Node& at(const Element& e) { return *static_cast<Node*>(e.get()); }
};

}  // namespace brindlet::deck::testing
