#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// True for a name that can only mean a file directly in one folder: not
// empty, not "." or "..", and without "/", "\" or control characters; on
// Windows also without the characters the system gives a meaning
// ("<>:\"|?*"), not ending in a dot or blank, and not a device name.
bool IsPlainFileName(std::string_view name);

// Makes program executable for its owner and starts it in its own session
// with workDir as its current folder and its standard streams on /dev/null
// (on Windows: by CreateProcessW, detached from our console, its window
// shown without focus).
// Returns as soon as the program runs; nobody waits for it, so when the
// caller ends right away the program is handed over to init. On failure,
// error says why.
bool StartDetached(const std::filesystem::path& program, const std::filesystem::path& workDir, std::string& error);
