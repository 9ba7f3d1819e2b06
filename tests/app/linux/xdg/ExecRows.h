// Exec values of autostart entries for the program "<folder>/My Apps/brindlet", "@" standing for
// the folder, and whether the desktop starts that program from them.

#pragma once

#include <string>

namespace brindlet::platform {

struct ExecRow {
  const char* name;
  const char* exec;  // as written in the file
  bool starts;
};

inline constexpr ExecRow execRows[] = {
    {"quoted", R"("@/My Apps/brindlet")", true},
    {"a backslash before a blank in quotes stays", R"("@/My\\ Apps/brindlet")", false},
    {"a backslash before a letter in quotes stays", R"("@/My Apps/brind\\let")", false},
    {"a blank escaped outside quotes", R"(@/My\\ Apps/brindlet)", true},
    {"a blank escaped once, kept for the words", R"(@/My\ Apps/brindlet)", true},
    {"a blank as the string escape", R"("@/My\sApps/brindlet")", true},
    {"an unquoted blank", R"(@/My Apps/brindlet)", false},
    {"single quotes", R"('@/My Apps/brindlet')", true},
    {"quoted and plain parts of one word", R"("@/My Apps/brin"dlet)", true},
    {"an escaped quote closes nothing", R"("@/My Apps/brindlet\\")", false},
    {"an argument with an escaped dollar", R"("@/My Apps/brindlet" "a\\$b")", true},
    {"an open single quote after", R"("@/My Apps/brindlet" 'x)", false},
    {"a comment after", R"("@/My Apps/brindlet" #c)", true},
    {"a # within the word", R"("@/My Apps/brindlet"#c)", false},
    {"a backslash that ends the words", R"("@/My Apps/brindlet"\\)", false},
    {"a lone backslash at the end of the line", R"("@/My Apps/brindlet" x\)", true},
};

// The entry's text with the folder in place of "@".
inline std::string entryWith(const ExecRow& row, const std::string& folder) {
  std::string exec = row.exec;
  exec.replace(exec.find('@'), 1, folder);
  return "[Desktop Entry]\nType=Application\nName=Brindlet\nExec=" + exec + "\n";
}

}  // namespace brindlet::platform
