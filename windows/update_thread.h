// The two read loops that feed the engine: the update worker and the
// dialog's version query (a member of CUpdateDlg), and the receive step
// they share.
#pragma once

#include <windows.h>

class CHid;

// One update, on a thread of its own: the update request, then receive
// steps until the run is over. Takes no parameter; reaches the dialog
// through g_pUpdateDlg.
DWORD WINAPI Usb_UpdateThread(LPVOID parameter);

// Reads one input report and hands it to the engine, or tells the
// controller that the read failed.
void ReceiveStep(CHid& hid);
