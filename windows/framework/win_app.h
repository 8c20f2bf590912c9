// The application object and the program's entry: one CWinApp per process,
// whose InitInstance runs the program. A small stand-in for the dialog
// framework the program was designed on, carrying only what it uses.
#pragma once

#include <windows.h>

class CDialog;

class CWinApp {
 public:
  explicit CWinApp(const wchar_t* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Runs the program. Returning FALSE ends it without a message loop of the
  // framework's own (a dialog-based program has run its modal loop by then).
  virtual BOOL InitInstance();
  // The process's exit code.
  virtual int ExitInstance();

  HINSTANCE m_hInstance = nullptr;
  const wchar_t* m_pszAppName = nullptr;
  CDialog* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();

// Where dialog templates, strings and icons are looked up: the program's own
// image unless another module was named (a resource-only image, for example).
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE resources);

// The framework's entry, called from wWinMain.
int AfxWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
