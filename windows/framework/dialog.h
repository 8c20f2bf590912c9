// A modal dialog built from a dialog template, with a message map: a table
// that routes each message (or, for WM_COMMAND, each notification from a
// control) to a member of the derived dialog.
#pragma once

#include <windows.h>

#include <cstddef>

class CDialog;

struct MessageMapEntry {
  UINT message;
  UINT notifyCode;  // WM_COMMAND only
  UINT controlId;   // WM_COMMAND only
  LRESULT (*invoke)(CDialog& dialog, WPARAM wParam, LPARAM lParam);
};

struct MessageMap {
  const MessageMapEntry* entries;
  std::size_t count;
};

class CDialog {
 public:
  explicit CDialog(UINT templateId, HWND parent = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the dialog from its template and runs its modal loop until
  // EndDialog. Returns the value given to EndDialog, or -1 when the dialog
  // could not be created.
  INT_PTR DoModal();
  void EndDialog(int result);

  // The direct child with this control id. Compares the id's 32 bits, so a
  // template's id -1 (the usual id of static texts) is found whatever width
  // the system stored it in.
  HWND GetDlgItem(int controlId) const;

  HWND m_hWnd = nullptr;

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual MessageMap GetMessageMap() const;

  // From a handler: let the system's dialog procedure process the message
  // being handled (the handler's own result is then not used).
  void Default();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  UINT m_nIDTemplate;
  HWND m_hParent;
  bool m_defaultRequested = false;
};

// Message-map rows for the derived dialog's members.
template <class Dialog, void (Dialog::*Handler)()>
LRESULT InvokeVoidHandler(CDialog& dialog, WPARAM, LPARAM) {
  (static_cast<Dialog&>(dialog).*Handler)();
  return 0;
}

template <class Dialog, LRESULT (Dialog::*Handler)(WPARAM, LPARAM)>
LRESULT InvokeParamsHandler(CDialog& dialog, WPARAM wParam, LPARAM lParam) {
  return (static_cast<Dialog&>(dialog).*Handler)(wParam, lParam);
}

template <class Dialog, HCURSOR (Dialog::*Handler)()>
LRESULT InvokeQueryDragIconHandler(CDialog& dialog, WPARAM, LPARAM) {
  return reinterpret_cast<LRESULT>((static_cast<Dialog&>(dialog).*Handler)());
}

template <class Dialog, BOOL (Dialog::*Handler)(UINT, DWORD_PTR)>
LRESULT InvokeDeviceChangeHandler(CDialog& dialog, WPARAM wParam, LPARAM lParam) {
  return (static_cast<Dialog&>(dialog).*Handler)(static_cast<UINT>(wParam), static_cast<DWORD_PTR>(lParam));
}

template <class Dialog, void (Dialog::*Handler)()>
constexpr MessageMapEntry MapMessage(UINT message) {
  return MessageMapEntry{message, 0, 0, &InvokeVoidHandler<Dialog, Handler>};
}

// A message of the program's own, whose parameters the handler reads.
template <class Dialog, LRESULT (Dialog::*Handler)(WPARAM, LPARAM)>
constexpr MessageMapEntry MapMessageWithParams(UINT message) {
  return MessageMapEntry{message, 0, 0, &InvokeParamsHandler<Dialog, Handler>};
}

template <class Dialog, HCURSOR (Dialog::*Handler)()>
constexpr MessageMapEntry MapQueryDragIcon() {
  return MessageMapEntry{WM_QUERYDRAGICON, 0, 0, &InvokeQueryDragIconHandler<Dialog, Handler>};
}

template <class Dialog, BOOL (Dialog::*Handler)(UINT, DWORD_PTR)>
constexpr MessageMapEntry MapDeviceChange() {
  return MessageMapEntry{WM_DEVICECHANGE, 0, 0, &InvokeDeviceChangeHandler<Dialog, Handler>};
}

template <class Dialog, void (Dialog::*Handler)()>
constexpr MessageMapEntry MapButtonClicked(UINT controlId) {
  return MessageMapEntry{WM_COMMAND, BN_CLICKED, controlId, &InvokeVoidHandler<Dialog, Handler>};
}
