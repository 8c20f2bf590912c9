// Resource identifiers of update.exe, shared by the resource script and the code.
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 152

#define IDC_PROGRESS 1003
#define IDC_UPDATE_BUTTON 1007
#define IDC_HELP_TEXT 1008
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The text table: text N is string 129 + N in Chinese, 238 + N in English.
#define IDS_TEXT_FIRST_CHINESE 129
#define IDS_TEXT_FIRST_ENGLISH 238
#define TEXT_TABLE_SIZE 16
