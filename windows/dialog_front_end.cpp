#include "dialog_front_end.h"

#include <windows.h>
// needs windows.h first
#include <commctrl.h>

#include "framework/file_dialog.h"
#include "text_encoding.h"
#include "text_table.h"
#include "update_dlg.h"

namespace {

constexpr DWORD kTransferReadTimeoutMs = 10;

}  // namespace

Status UpdateDlgFrontEnd::WriteReport(DeviceTarget, const std::uint8_t (&report)[kReportSize]) {
  return g_pUpdateDlg->m_Hid.Write(report, static_cast<BYTE>(kReportSize));
}

std::string UpdateDlgFrontEnd::LoadText(int id) { return WideToUtf8(::LoadText(static_cast<UINT>(id))); }

std::optional<std::filesystem::path> UpdateDlgFrontEnd::ChooseFirmwareFile(const FileChoiceRequest& request) {
  const std::wstring filter = Utf8ToWide(request.filterText);
  CFileDialog dialog(TRUE, L"*.*", nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter.c_str(),
                     g_pUpdateDlg->m_hWnd);
  if (dialog.DoModal() != IDOK) return std::nullopt;
  return std::filesystem::path(dialog.GetPathName());
}

ConfirmAnswer UpdateDlgFrontEnd::AskConfirmation(DeviceTarget, const ConfirmationRequest& request) {
  const int answer = MessageBoxW(g_pUpdateDlg->m_hWnd, Utf8ToWide(request.text).c_str(),
                                 Utf8ToWide(request.title).c_str(), MB_OKCANCEL);
  return answer == IDOK ? ConfirmAnswer::Ok : ConfirmAnswer::Cancel;
}

void UpdateDlgFrontEnd::ShowDeviceVersion(std::string_view text) {
  SetWindowTextW(g_pUpdateDlg->m_hWnd, Utf8ToWide(text).c_str());
}

void UpdateDlgFrontEnd::ShowMessage(const UserMessage& message) {
  MessageBoxW(g_pUpdateDlg->m_hWnd, Utf8ToWide(message.text).c_str(), Utf8ToWide(message.caption).c_str(), MB_OK);
}

void UpdateDlgFrontEnd::ShowProgress(std::uint32_t percent) {
  // The bar belongs to the dialog's thread: the worker waits for that thread
  // on every position it sends, so a position already shown is not sent.
  if (percent == m_shownPercent) return;
  m_shownPercent = percent;
  SendMessageW(g_pProgress, PBM_SETPOS, percent, 0);
}

void UpdateDlgFrontEnd::EnableUpdateButton(ButtonRule rule) {
  // Without a controller the button is left as it is; the worker sets it
  // by presence when it ends.
  if (rule == ButtonRule::IfControllerPresent && !g_pUpdateDlg->m_Hid.m_bDevicePresent) return;
  EnableWindow(g_pUpdateButton, TRUE);
}

void UpdateDlgFrontEnd::ShowUpgradedNotice() { ShowWindow(g_pDoneText, SW_SHOW); }

void UpdateDlgFrontEnd::TransferStarted() { g_pUpdateDlg->m_Hid.SetReadTimeout(kTransferReadTimeoutMs); }
