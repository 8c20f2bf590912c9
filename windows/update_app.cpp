#include "update_app.h"

#include "update_dlg.h"

CUpdateApp::CUpdateApp() = default;

CUpdateApp::~CUpdateApp() = default;

BOOL CUpdateApp::InitInstance() {
  CUpdateDlg dialog(nullptr);
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  // The dialog has ended: no message loop of the application's own.
  return FALSE;
}
