#pragma once
// On Windows std::system returns the command's exit status itself; these
// read it the way the POSIX macros read a wait status.

#define WIFEXITED(status) ((status) != -1)
#define WEXITSTATUS(status) (status)
#define WTERMSIG(status) 0
