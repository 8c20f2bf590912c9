#include "win_app.h"

#include <commctrl.h>

namespace {

CWinApp* g_application = nullptr;
HINSTANCE g_resources = nullptr;

}  // namespace

CWinApp::CWinApp(const wchar_t* appName) : m_pszAppName(appName) { g_application = this; }

CWinApp::~CWinApp() {
  if (g_application == this) g_application = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_application; }

HINSTANCE AfxGetInstanceHandle() {
  if (g_application != nullptr && g_application->m_hInstance != nullptr) return g_application->m_hInstance;
  return GetModuleHandleW(nullptr);
}

HINSTANCE AfxGetResourceHandle() { return g_resources != nullptr ? g_resources : AfxGetInstanceHandle(); }

void AfxSetResourceHandle(HINSTANCE resources) { g_resources = resources; }

int AfxWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  CWinApp* application = AfxGetApp();
  if (application == nullptr) return -1;
  application->m_hInstance = instance;

  // Dialog templates name the common controls by class: register them before
  // the first dialog is created.
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);

  // Every window of the programs this framework serves is modal and has run
  // its own loop by the time InitInstance returns: there is no loop to enter.
  application->InitInstance();
  return application->ExitInstance();
}
