/* Test-only console program: waits for a message box with the given caption
 * and prints, as UTF-8, the identifiers of its buttons on one line and then
 * the text it shows. Exit status 2 when no such box appears in time. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

enum { message_text_id = 0xFFFF, wait_steps = 400, step_ms = 50 };

static BOOL CALLBACK note_button(HWND child, LPARAM buttons) {
  wchar_t class_name[32];
  if (GetClassNameW(child, class_name, 32) > 0 && lstrcmpiW(class_name, L"Button") == 0 &&
      IsWindowVisible(child))
    fprintf((FILE *)buttons, " %d", GetDlgCtrlID(child));
  return TRUE;
}

static void print_utf8(const wchar_t *text) {
  char narrow[16384];
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, NULL, NULL);
  if (length > 0)
    fwrite(narrow, 1, (size_t)length - 1, stdout);
}

int wmain(int argc, wchar_t **argv) {
  if (argc != 2) {
    fputs("usage: box_text CAPTION\n", stderr);
    return 1;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  HWND box = NULL;
  for (int step = 0; step < wait_steps && box == NULL; ++step) {
    /* #32770 is the window class of dialog boxes, message boxes among them. */
    box = FindWindowW(L"#32770", argv[1]);
    if (box == NULL)
      Sleep(step_ms);
  }
  if (box == NULL)
    return 2;
  wchar_t text[8192] = L"";
  GetDlgItemTextW(box, message_text_id, text, sizeof text / sizeof text[0]);
  fputs("buttons:", stdout);
  EnumChildWindows(box, note_button, (LPARAM)stdout);
  fputs("\n", stdout);
  print_utf8(text);
  fflush(stdout);
  return 0;
}
