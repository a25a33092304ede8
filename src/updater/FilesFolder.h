#pragma once

// Where kobrel keeps nowver.ini, new.htm and the releases it fetches. The
// program folder is the place when the user may write there; an installed
// program's folder (/usr/bin, Program Files) is not, and then the files go
// to the user's own data folder.

#include <filesystem>

// "$XDG_DATA_HOME/vantrel", or "$HOME/.local/share/vantrel" when
// XDG_DATA_HOME is unset, empty or relative (on Windows
// "%LOCALAPPDATA%\vantrel"); empty when there is no such folder.
std::filesystem::path UserDataFolder();

// Whether the program folder may hold kobrel's files: this user may write
// there, and (on Linux) it does not lie under /usr, which belongs to the
// package manager whoever runs the program.
bool ProgramFolderTakesFiles(const std::filesystem::path& folder);

// The folder of kobrel's files for the program folder; empty when it is not
// writable and there is no user data folder either.
std::filesystem::path FilesFolder(const std::filesystem::path& programFolder);
