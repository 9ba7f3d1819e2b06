#include "support/Trayer.h"

#include <cstdio>
#include <sstream>

namespace brindlet::testsupport {

std::unique_ptr<ChildProcess> startTrayer(const XServer& server) {
  return server.start(
      {"trayer", "--edge", "top", "--align", "right", "--width", "10", "--height", "24"});
}

std::optional<std::pair<int, int>> dockedIcon(const XServer& server,
                                              const std::string& windowClass) {
  std::istringstream tree(server.run({"xwininfo", "-root", "-tree"}).output);
  constexpr std::size_t outside = std::string::npos;
  std::size_t panelDepth = outside;  // the indent of the panel's line while inside it
  for (std::string line; std::getline(tree, line);) {
    const std::size_t depth = line.find_first_not_of(' ');
    if (panelDepth != outside && depth <= panelDepth) panelDepth = outside;
    if (line.find("(\"panel\" \"trayer\")") != std::string::npos) panelDepth = depth;
    if (panelDepth == outside || line.find(windowClass) == std::string::npos) continue;
    // "... 22x22+0+0  +1001+1": the size, then the place on the root window last.
    int width = 0, height = 0, x = 0, y = 0;
    const std::size_t size = line.rfind(")  ") + 3;
    if (std::sscanf(line.c_str() + size, "%dx%d", &width, &height) != 2) return std::nullopt;
    if (std::sscanf(line.c_str() + line.rfind("  +") + 2, "+%d+%d", &x, &y) != 2)
      return std::nullopt;
    // trayer lists the icon's window before it maps it, and a click on a window not yet
    // mapped goes to the panel beneath.
    const std::string id = line.substr(depth, line.find(' ', depth) - depth);
    if (server.run({"xwininfo", "-id", id}).output.find("Map State: IsViewable") ==
        std::string::npos)
      return std::nullopt;
    return std::pair{x + width / 2, y + height / 2};
  }
  return std::nullopt;
}

}  // namespace brindlet::testsupport
