/* What the tests hand out as a release on Windows: it notes the folder it
   was started in in started.marker and adds a line to starts.log. */

#include <windows.h>

static void Append(const wchar_t* name, const char* text, DWORD size, DWORD disposition) {
  HANDLE file = CreateFileW(name, disposition == OPEN_ALWAYS ? FILE_APPEND_DATA : GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, text, size, &written, NULL);
  CloseHandle(file);
}

int main(void) {
  static wchar_t folder[32768];
  static char text[4 * 32768 + 2];
  const DWORD length = GetCurrentDirectoryW(32768, folder);
  int bytes = length == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, folder, (int)length, text, 4 * 32768, NULL, NULL);
  text[bytes++] = '\n';
  Append(L"starts.log", "started\n", 8, OPEN_ALWAYS);
  Append(L"started.marker", text, (DWORD)bytes, CREATE_ALWAYS);
  return 0;
}
