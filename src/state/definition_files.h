#pragma once

#include <string>
#include <vector>

class MainState;

// Output and input definitions alike are files "<type>.ini" in a folder of the user's and one
// shipped with the program; files copied from other systems often have the extension in
// capitals, so ".INI" and ".Ini" count too.

// Only regular files (or links to them) are definitions.
// The types in the folders, sorted without regard to case; a type in more than one folder, or
// as x.ini and x.INI, is listed once; the built-in type is added when no file has its name.
std::vector<std::string> ListDefinitionTypes(const std::vector<std::string>& folders,
                                             const std::string& builtInType);

// The file of the type in the folder (folder ends in '/'), the listed one whatever the case of
// its extension; "" when the folder has none.
std::string FindDefinitionFile(const std::string& folder, const std::string& type);

// Tells a definition's problems on the status line, in red: "<type>: <first problem>", how
// many more there are, and every one of them with the file's path in the detail. Each file's
// problems are told once: the same file with the same problems again says nothing (last holds
// what was told, and a load without problems clears it, so the file is told again when it is
// chosen again later). True when something was told.
bool ReportDefinitionProblems(MainState& state, const std::string& type, const std::string& path,
                              const std::vector<std::string>& problems, std::string& last);
