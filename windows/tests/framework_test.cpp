// The dialog framework under the system's real window manager: the message
// map, control lookup, the dialog's end, and the open-file dialog with a
// Chinese filter and a file in a Chinese-named folder. Needs a display.
#include <gtest/gtest.h>
#include <windows.h>
// needs windows.h first
#include <commctrl.h>
#include <dlgs.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "framework/dialog.h"
#include "framework/file_dialog.h"
#include "framework/win_app.h"
#include "gui_helpers.h"
#include "program_image.h"
#include "res/resource.h"
#include "windows_text_table.h"

namespace {

constexpr DWORD kWindowWaitMs = 10000;

TEST(FilterToSystemForm, TurnsBarsIntoNulsAndEndsWithTwo) {
  using namespace std::string_literals;
  EXPECT_EQ(FilterToSystemForm(L"File type(*.dat)|*.dat||"), L"File type(*.dat)\0*.dat\0\0"s);
  EXPECT_EQ(FilterToSystemForm(L"A|*.a|B|*.b||"), L"A\0*.a\0B\0*.b\0\0"s);
  EXPECT_EQ(FilterToSystemForm(L"A|*.a"), L"A\0*.a\0\0"s) << "trailing bars left out";
  EXPECT_EQ(FilterToSystemForm(L"A|*.a|"), L"A\0*.a\0\0"s);
  EXPECT_EQ(FilterToSystemForm(L""), L"");
}

// The program's own dialog template, run by the framework with a map that
// routes only the update button.
class ProbeDialog : public CDialog {
 public:
  ProbeDialog() : CDialog(IDD_UPDATE_DIALOG) {}
  int updateClicks = 0;
  HWND doneText = nullptr;
  HWND updateButton = nullptr;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    doneText = GetDlgItem(IDC_STATIC);
    updateButton = GetDlgItem(IDC_UPDATE_BUTTON);
    return TRUE;
  }
  MessageMap GetMessageMap() const override {
    static const MessageMapEntry kEntries[] = {
        MapButtonClicked<ProbeDialog, &ProbeDialog::OnUpdate>(IDC_UPDATE_BUTTON),
    };
    return MessageMap{kEntries, 1};
  }

 private:
  void OnUpdate() { ++updateClicks; }
};

struct ProbeRun {
  ProbeDialog dialog;
  INT_PTR result = 0;
};

TEST(CDialog, RoutesTheButtonFindsStaticTextAndEndsOnClose) {
  ProgramImage image;
  ASSERT_NE(image.Module(), nullptr);
  AfxSetResourceHandle(image.Module());
  ProbeRun run;
  const HANDLE thread = StartUiThread(
      [](void* context) {
        auto* probe = static_cast<ProbeRun*>(context);
        probe->result = probe->dialog.DoModal();
      },
      &run);
  const HWND window = WaitForThreadWindow(GetThreadId(thread), L"#32770", kWindowWaitMs);
  EXPECT_NE(window, nullptr) << "dialog 102 did not come up";
  if (window != nullptr) {
    SendMessageW(GetDlgItem(window, IDC_UPDATE_BUTTON), BM_CLICK, 0, 0);
    // Clicks of other controls and other notifications of the button are not routed to it.
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_HELP_TEXT, BN_CLICKED), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_BUTTON, BN_SETFOCUS), 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  EXPECT_TRUE(JoinUiThread(thread, kWindowWaitMs));
  AfxSetResourceHandle(nullptr);

  EXPECT_EQ(run.result, IDCANCEL) << "the close box ends the dialog with IDCANCEL";
  EXPECT_EQ(run.dialog.updateClicks, 1);
  EXPECT_NE(run.dialog.updateButton, nullptr);
  ASSERT_NE(run.dialog.doneText, nullptr) << "the static text with id -1 was not found";
  EXPECT_NE(run.dialog.doneText, run.dialog.updateButton);
  EXPECT_EQ(run.dialog.m_hWnd, nullptr) << "the window is gone after DoModal";
}

struct FileDialogRun {
  CFileDialog* dialog;
  INT_PTR result = 0;
};

void RunFileDialog(void* context) {
  auto* run = static_cast<FileDialogRun*>(context);
  run->result = run->dialog->DoModal();
}

std::wstring ChineseFilter() { return Widen(WindowsText(3, TextLanguage::Chinese) + "(*.dat)|*.dat||"); }

std::wstring ComboItem(HWND combo, int index) {
  const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
  if (length == CB_ERR) return L"(none)";
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// A firmware file in a folder with a Chinese name, written through the wide API.
class ChineseFolderFile {
 public:
  ChineseFolderFile() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"\x56FA\x4EF6 " + std::to_wstring(GetCurrentProcessId());  // 固件 <pid>
    path_ = folder_ + L"\\\x6837\x672C 1.dat";                                                 // 样本 1.dat
    CreateDirectoryW(folder_.c_str(), nullptr);
    std::ofstream out(std::filesystem::path(path_), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
  }
  ~ChineseFolderFile() {
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  const std::wstring& Path() const { return path_; }
  const std::vector<unsigned char>& Bytes() const { return bytes_; }

 private:
  std::wstring folder_;
  std::wstring path_;
  std::vector<unsigned char> bytes_ = {0x6E, 0x00, 0x00, 0x00, 1, 2, 3, 4, 4, 0, 0, 0, 0xA5, 0x5A};
};

TEST(CFileDialog, ChoosesAFileInAChineseFolderAndHandsBackItsWholePath) {
  ChineseFolderFile file;
  const std::wstring filter = ChineseFilter();
  CFileDialog dialog(TRUE, L"*.*", nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter.c_str(), nullptr);
  FileDialogRun run{&dialog};
  const HANDLE thread = StartUiThread(&RunFileDialog, &run);
  const HWND window = WaitForThreadWindow(GetThreadId(thread), L"#32770", kWindowWaitMs);
  EXPECT_NE(window, nullptr) << "the open-file dialog did not come up";
  if (window != nullptr) {
    const HWND types = GetDlgItem(window, cmb1);
    EXPECT_EQ(ComboItem(types, 0), Widen(WindowsText(3, TextLanguage::Chinese) + "(*.dat)"));
    EXPECT_EQ(SendMessageW(types, CB_GETCOUNT, 0, 0), 1) << "one filter entry";
    SendMessageW(GetDlgItem(window, cmb13), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.Path().c_str()));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  ASSERT_TRUE(JoinUiThread(thread, kWindowWaitMs));
  ASSERT_EQ(run.result, IDOK);
  EXPECT_EQ(dialog.GetPathName(), file.Path());

  // As the engine opens it: by std::filesystem::path, wide all the way.
  std::ifstream in(std::filesystem::path(dialog.GetPathName()), std::ios::binary);
  const std::vector<unsigned char> read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(read, file.Bytes());
}

TEST(CFileDialog, CancelChoosesNothing) {
  const std::wstring filter = ChineseFilter();
  CFileDialog dialog(TRUE, L"*.*", nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter.c_str(), nullptr);
  FileDialogRun run{&dialog};
  const HANDLE thread = StartUiThread(&RunFileDialog, &run);
  const HWND window = WaitForThreadWindow(GetThreadId(thread), L"#32770", kWindowWaitMs);
  EXPECT_NE(window, nullptr);
  if (window != nullptr) PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_TRUE(JoinUiThread(thread, kWindowWaitMs));
  EXPECT_EQ(run.result, IDCANCEL);
  EXPECT_EQ(dialog.GetPathName(), L"");
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  return RUN_ALL_TESTS();
}
