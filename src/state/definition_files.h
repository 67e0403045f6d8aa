#pragma once

#include <string>
#include <vector>

// Output and input definitions alike are files "<type>.ini" in a folder of the user's and one
// shipped with the program; files copied from other systems often have the extension in
// capitals, so ".INI" and ".Ini" count too.

// The types in the folders, sorted without regard to case; a type in more than one folder, or
// as x.ini and x.INI, is listed once; the built-in type is added when no file has its name.
std::vector<std::string> ListDefinitionTypes(const std::vector<std::string>& folders,
                                             const std::string& builtInType);

// The file of the type in the folder (folder ends in '/'), the listed one whatever the case of
// its extension; "" when the folder has none.
std::string FindDefinitionFile(const std::string& folder, const std::string& type);
