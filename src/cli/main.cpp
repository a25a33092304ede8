#include "cli/CliApp.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/HostPath.h"
#endif

int main(int argc, char** argv) {
  vantrel::cli::CliApp app;
#ifdef _WIN32
  // The arguments as the user typed them (UTF-16), not as far as the ANSI
  // code page can hold them; the output as UTF-8 bytes, with file contents of
  // cat unchanged and the same "\n" line ends as on Linux (also in messages).
  ::SetConsoleOutputCP(CP_UTF8);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> words;
  int count = 0;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) words.push_back(vantrel::WideToUtf8Text(wide[i]));
    ::LocalFree(wide);
  }
  std::vector<char*> pointers;
  for (auto& w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  if (!words.empty()) return app.Main(static_cast<int>(words.size()), pointers.data());
#endif
  return app.Main(argc, argv);
}
