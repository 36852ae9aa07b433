#include "wizard/AboutDlg.h"

#include "resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
