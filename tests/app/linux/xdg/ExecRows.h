// Autostart entries for the program "<folder>/My Apps/brindlet" (or another under the folder), "@"
// standing for the folder: their Exec values and the rest of their group, and whether the desktop
// starts that program from them.

#pragma once

#include <string>

namespace brindlet::platform {

struct ExecRow {
  const char* name;
  const char* exec;  // as written in the file
  bool starts;
  const char* more = "";             // further lines of the group
  const char* type = "Application";  // the Type key's value; no key when null
  const char* lineEnd = "\n";
  const char* program = "/My Apps/brindlet";  // under the folder
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
    {"a TryExec naming a missing program", R"("@/My Apps/brindlet")", false,
     "TryExec=@/My Apps/gone\n"},
    {"a TryExec naming the program", R"("@/My Apps/brindlet")", true,
     "TryExec=@/My Apps/brindlet\n"},
    {"a TryExec found on the path", R"("@/My Apps/brindlet")", true, "TryExec=sh\n"},
    {"a link", R"("@/My Apps/brindlet")", false, "", "Link"},
    {"no Type", R"("@/My Apps/brindlet")", false, "", nullptr},
    {"hidden", R"("@/My Apps/brindlet")", false, "Hidden=true\n"},
    {"not hidden", R"("@/My Apps/brindlet")", true, "Hidden=false\n"},
    {"switched off for GNOME", R"("@/My Apps/brindlet")", false,
     "X-GNOME-Autostart-enabled=false\n"},
    {"a later Exec naming another program", R"("@/My Apps/brindlet")", false,
     "Exec=@/My Apps/gone\n"},
    {"a later Exec naming the program", R"("@/My Apps/gone")", true,
     "Exec=\"@/My Apps/brindlet\"\n"},
    {"a quoted path holding %%", R"("@/My 50%% Apps/brindlet")", false, "", "Application", "\n",
     "/My 50% Apps/brindlet"},
    {"env before a path holding %%", R"(env "@/My 50%% Apps/brindlet")", true, "", "Application",
     "\n", "/My 50% Apps/brindlet"},
    {"env setting a variable", R"(env FOO=1 "@/My Apps/brindlet" --x)", true},
    {"env unsetting a variable", R"(env -u FOO "@/My Apps/brindlet")", true},
    {"env with -- and a variable", R"(/usr/bin/env -i -- A=b "@/My Apps/brindlet")", true},
    {"CR LF line ends", R"("@/My Apps/brindlet")", true, "", "Application", "\r\n"},
};

// The entry's text with the folder in place of "@".
inline std::string entryWith(const ExecRow& row, const std::string& folder) {
  std::string text = "[Desktop Entry]\n";
  if (row.type) text += std::string("Type=") + row.type + "\n";
  text += "Name=Brindlet\nExec=" + std::string(row.exec) + "\n" + row.more;
  std::string entry;
  for (const char c : text) {
    if (c == '@') {
      entry += folder;
    } else if (c == '\n') {
      entry += row.lineEnd;
    } else {
      entry += c;
    }
  }
  return entry;
}

}  // namespace brindlet::platform
