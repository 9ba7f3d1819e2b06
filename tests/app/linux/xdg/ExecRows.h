// Autostart entries for the program "<folder>/My Apps/brindlet" (or another under the folder), "@"
// standing for the folder: their Exec values and the rest of their text, the PATH and the desktop
// they are read with, and whether the desktop starts that program from them.

#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "support/Environment.h"

namespace brindlet::platform {

struct ExecRow {
  const char* name;
  const char* exec;  // as written in the file
  bool starts;
  const char* more = "";             // further lines of the group
  const char* type = "Application";  // the Type key's value; no key when null
  const char* lineEnd = "\n";
  const char* program = "/My Apps/brindlet";  // under the folder
  const char* path = "/usr/bin:/bin";         // PATH
  const char* desktop = nullptr;              // XDG_CURRENT_DESKTOP; unset when null
  const char* before = "";                    // lines before the group
  const char* header = "[Desktop Entry]";
};

inline constexpr const char* onPath = "@/My Apps:/usr/bin:/bin";

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
    {.name = "the program found on the path", .exec = "brindlet", .starts = true, .path = onPath},
    {.name = "a field code", .exec = "brindlet %U", .starts = true, .path = onPath},
    {.name = "a % that ends the value", .exec = R"("@/My Apps/brindlet" %)", .starts = true},
    {.name = "a shell's script running the program found on the path",
     .exec = R"(sh -c "exec brindlet --x")",
     .starts = true,
     .path = onPath},
    {.name = "a shell's script setting a variable",
     .exec = R"(sh -c "A=1 '@/My Apps/brindlet'")",
     .starts = true},
    {.name = "blanks before the group header",
     .exec = R"("@/My Apps/brindlet")",
     .starts = true,
     .header = "  [Desktop Entry]"},
    {.name = "shown only on another desktop",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .more = "OnlyShowIn=KDE;\n",
     .desktop = "GNOME"},
    {.name = "not shown on this desktop",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .more = "NotShowIn=GNOME;\n",
     .desktop = "GNOME"},
    {.name = "the first current desktop named decides",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .more = "OnlyShowIn=GNOME;\nNotShowIn=ubuntu;\n",
     .desktop = "ubuntu:GNOME"},
    {.name = "a blank after the type",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .type = "Application "},
    {.name = "a key before the first group",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .before = "Name=x\n"},
    {.name = "a stray line", .exec = R"("@/My Apps/brindlet")", .starts = false, .more = "stray\n"},
    {.name = "text after the group header",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .header = "[Desktop Entry]x"},
    {.name = "env taking an option after a variable",
     .exec = R"(env FOO=1 -u X "@/My Apps/brindlet")",
     .starts = false},
    {.name = "a shell's script waiting before it runs the program",
     .exec = R"(sh -c 'sleep 1; exec brindlet')",
     .starts = true,
     .path = onPath},
    {.name = "a shell's script entering HOME first",
     .exec = R"(sh -c "cd ~ && brindlet")",
     .starts = true,
     .path = onPath},
    {.name = "a shell's script running the program before another",
     .exec = R"(sh -c "brindlet; true")",
     .starts = true,
     .path = onPath},
    {.name = "a shell's script running the program when the first fails",
     .exec = R"(sh -c "false || brindlet")",
     .starts = true,
     .path = onPath},
    {.name = "a shell's script waiting for sleep to succeed",
     .exec = R"(sh -c "sleep 0 && brindlet")",
     .starts = true,
     .path = onPath},
    {.name = "a shell's script entering a missing folder first",
     .exec = R"(sh -c "cd @/gone && brindlet")",
     .starts = false,
     .path = onPath},
    {.name = "a shell's script running the program only when false succeeds",
     .exec = R"(bash -c "false && brindlet")",
     .starts = false,
     .path = onPath},
    {.name = "a shell's script that exits first",
     .exec = R"(sh -c "exit; brindlet")",
     .starts = false,
     .path = onPath},
    {.name = "a shell's script printing the name",
     .exec = R"(sh -c 'echo brindlet')",
     .starts = false,
     .path = onPath},
    {.name = "a shell's script printing an escaped operator and the name",
     .exec = R"(sh -c "echo x\\; brindlet")",
     .starts = false,
     .path = onPath},
    {.name = "zsh's script", .exec = R"(zsh -c brindlet)", .starts = true, .path = onPath},
    {.name = "ksh's script setting a variable",
     .exec = R"(ksh -c "A=1 exec brindlet")",
     .starts = true,
     .path = onPath},
    {.name = "nice with an adjustment",
     .exec = R"(nice -n 10 brindlet)",
     .starts = true,
     .path = onPath},
    {.name = "nice with the older adjustment",
     .exec = R"(nice -10 brindlet)",
     .starts = true,
     .path = onPath},
    {.name = "nice with an adjustment that is not a number",
     .exec = R"(nice -n x brindlet)",
     .starts = false,
     .path = onPath},
    {.name = "nohup", .exec = R"(nohup brindlet)", .starts = true, .path = onPath},
    {.name = "ionice in the idle class",
     .exec = R"(ionice -c 3 brindlet)",
     .starts = true,
     .path = onPath},
    {.name = "setsid forking and waiting",
     .exec = R"(setsid -f -w brindlet)",
     .starts = true,
     .path = onPath},
    {.name = "env splitting the program's words",
     .exec = R"(env -S brindlet)",
     .starts = true,
     .path = onPath},
    {.name = "env splitting an option and the program",
     .exec = R"(env -S"-u FOO brindlet --x")",
     .starts = true,
     .path = onPath},
    {.name = "a Path that is missing",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .more = "Path=@/gone\n"},
    {.name = "a Path that is a file",
     .exec = R"("@/My Apps/brindlet")",
     .starts = false,
     .more = "Path=@/My Apps/brindlet\n"},
    {.name = "a Path that is a folder",
     .exec = R"("@/My Apps/brindlet")",
     .starts = true,
     .more = "Path=@/My Apps\n"},
    {.name = "an empty Path", .exec = R"("@/My Apps/brindlet")", .starts = true, .more = "Path=\n"},
};

// "@" in the text replaced by the folder.
inline std::string placed(const std::string& text, const std::string& folder) {
  std::string out;
  for (const char c : text) out += c == '@' ? folder : std::string(1, c);
  return out;
}

// The environment a row is read with.
inline testsupport::Variables environmentOf(const ExecRow& row, const std::string& folder) {
  return {{"PATH", placed(row.path, folder)},
          {"XDG_CURRENT_DESKTOP",
           row.desktop ? std::optional<std::string>(row.desktop) : std::nullopt}};
}

// Each row's program under the folder, a shell script with the body.
inline void placePrograms(const std::string& folder, const std::string& body) {
  for (const auto& row : execRows) {
    const std::filesystem::path program = folder + row.program;
    std::filesystem::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  }
}

// The entry's text with the folder in place of "@".
inline std::string entryWith(const ExecRow& row, const std::string& folder) {
  std::string text = std::string(row.before) + row.header + "\n";
  if (row.type) text += std::string("Type=") + row.type + "\n";
  text += "Name=Brindlet\nExec=" + std::string(row.exec) + "\n" + row.more;
  std::string entry;
  for (const char c : placed(text, folder)) {
    if (c == '\n') {
      entry += row.lineEnd;
    } else {
      entry += c;
    }
  }
  return entry;
}

}  // namespace brindlet::platform
