// Resource ids of the start-up benchmark's reference dialog.
#pragma once

#define IDD_REF_DIALOG 100
#define IDC_REF_HTTP 1011
#define IDC_REF_HTTPS 1012
#define IDC_REF_HOST 1006
#define IDC_REF_NEXT 1008
