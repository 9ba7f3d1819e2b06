#pragma once

#include <string_view>

namespace brindlet::profiles {

// Whether the text is a URL reference as written, without any repair: an optional scheme,
// an optional authority ("//" user info, host or bracketed IP literal, port digits), a path,
// a query and a fragment, made only of the characters URLs allow and of complete %-escapes.
// Blanks, non-ASCII characters, a second "#" and the empty text are refused.
bool isValidURL(std::string_view text);

}  // namespace brindlet::profiles
