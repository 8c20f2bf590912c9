// The entry point of update.exe.
#include <windows.h>

#include "framework/win_app.h"
#include "update_app.h"

CUpdateApp theApp;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
  return AfxWinMain(instance, previous, commandLine, showCommand);
}
