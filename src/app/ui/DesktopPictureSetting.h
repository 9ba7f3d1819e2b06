#pragma once

#include <optional>
#include <string>

namespace brindlet::app::ui {

// The desktop picture that GNOME's settings name: "picture-uri", or "picture-uri-dark" while the
// colour scheme prefers dark (and a dark picture is set); nothing when the schema is not
// installed or the address is no local file.
std::optional<std::string> desktopPictureFile();

}  // namespace brindlet::app::ui
