// The two read loops that feed the engine: the update worker and the
// dialog's version query (a member of CUpdateDlg), and the receive step
// and version query they share.
#pragma once

#include <windows.h>

#include <functional>

class CHid;

// One update, on a thread of its own: the update request, then receive
// steps until the run is over. Takes no parameter; reaches the dialog
// through g_pUpdateDlg.
DWORD WINAPI Usb_UpdateThread(LPVOID parameter);

// Reads one input report and hands it to the engine, or tells the
// controller that the read failed. False when that notice could not be
// written: the controller takes no more reports.
bool ReceiveStep(CHid& hid);

// Asks the open controller for its firmware version and reads until the
// engine has taken the report in, for two seconds at most; ends earlier when
// `stop` says so or the controller takes no more reports. True when the
// version is known.
bool AskForVersion(CHid& hid, const std::function<bool()>& stop);
