// The About box of the system menu: the template's texts, nothing else.
#pragma once

#include "framework/dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};
