// The application: runs the main dialog modally and ends with it.
#pragma once

#include "framework/win_app.h"

class CUpdateApp : public CWinApp {
 public:
  CUpdateApp();
  ~CUpdateApp() override;
  BOOL InitInstance() override;
};
