#include "dialog.h"

#include "win_app.h"

namespace {

// A dialog procedure returns these messages' results itself; every other
// result goes through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
  switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
      return true;
    default:
      return false;
  }
}

}  // namespace

CDialog::CDialog(UINT templateId, HWND parent) : m_nIDTemplate(templateId), m_hParent(parent) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
  return DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), m_hParent, &CDialog::DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(int result) {
  if (m_hWnd != nullptr) ::EndDialog(m_hWnd, result);
}

HWND CDialog::GetDlgItem(int controlId) const {
  if (m_hWnd == nullptr) return nullptr;
  for (HWND child = GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (static_cast<DWORD>(GetWindowLongPtrW(child, GWLP_ID)) == static_cast<DWORD>(controlId)) return child;
  }
  return nullptr;
}

BOOL CDialog::OnInitDialog() { return TRUE; }

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

MessageMap CDialog::GetMessageMap() const { return MessageMap{nullptr, 0}; }

void CDialog::Default() { m_defaultRequested = true; }

bool CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const MessageMap map = GetMessageMap();
  for (std::size_t i = 0; i < map.count; ++i) {
    const MessageMapEntry& entry = map.entries[i];
    if (entry.message != message) continue;
    if (message == WM_COMMAND && (entry.notifyCode != HIWORD(wParam) || entry.controlId != LOWORD(wParam))) continue;
    // A handler may pump messages and so run handlers of its own: keep each
    // one's request for default processing apart.
    const bool outer = m_defaultRequested;
    m_defaultRequested = false;
    *result = entry.invoke(*this, wParam, lParam);
    const bool wantsDefault = m_defaultRequested;
    m_defaultRequested = outer;
    return !wantsDefault;
  }
  // Enter, Esc, the close box and Alt+F4 arrive as these two commands.
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
    switch (LOWORD(wParam)) {
      case IDOK:
        OnOK();
        *result = 0;
        return true;
      case IDCANCEL:
        OnCancel();
        *result = 0;
        return true;
      default:
        break;
    }
  }
  return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    dialog->m_hWnd = window;
    return dialog->OnInitDialog();
  }
  auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (dialog == nullptr) return FALSE;  // messages that come before WM_INITDIALOG

  LRESULT result = 0;
  const bool handled = dialog->Dispatch(message, wParam, lParam, &result);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, DWLP_USER, 0);
    dialog->m_hWnd = nullptr;
  }
  if (!handled) return FALSE;
  if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}
