/* Resource identifiers shared by the C++ code and KestrelVault_Setup.rc.
   Plain preprocessor definitions only: windres reads this file through the C preprocessor. */
#ifndef KESTRELVAULT_SETUP_RESOURCE_H
#define KESTRELVAULT_SETUP_RESOURCE_H

/* Dialog templates */
#define IDD_ABOUTBOX                    100
#define IDD_KESTRELVAULT_SETUP_DIALOG   102
#define IDD_KVDOWNLOAD                  205

/* Icon and header bitmap (separate resource types, so they may share the number) */
#define IDR_MAINFRAME                   128
#define IDB_HEADER                      128

/* System menu entry that opens the About box */
#define IDS_ABOUTBOX                    101
#define IDM_ABOUTBOX                    0x0010

/* Controls of the two wizard pages */
#define IDC_STC_INFO                    1000
#define IDC_PROGRESS                    1001
#define IDC_EDT_HOST                    1006
#define IDC_STC_ACCESSGROUP             1007
#define IDC_BTN_NEXT                    1008
#define IDC_BTN_PREV                    1010
#define IDC_RAD_HTTP                    1011
#define IDC_RAD_HTTPS                   1012
#define IDC_STC_SCHEME                  1013

/* Strings the program loads. The table holds each text in six columns (brand A Korean,
   English, Japanese, then brand B Korean, English, Japanese) plus a third Korean label set
   at 236 + row - 1; the program always loads the first column, brand A Korean. */
#define IDS_DOWNLOAD_ACTIVEX            120
#define IDS_ACCESS_GROUP                132
#define IDS_CANCEL                      144
#define IDS_INSTALL_ACTIVEX             156
#define IDS_INSTALL_PRODUCT             162
#define IDS_CAPTION                     168
#define IDS_HEADER_TITLE                174
#define IDS_HEADER_SUBTITLE             180
#define IDS_INFO                        186
#define IDS_NEXT                        193
#define IDS_SERVER_UNREACHABLE          199
#define IDS_DOWNLOAD_INFO               206
#define IDS_PREV                        212
#define IDS_DL_HEADER_TITLE             218
#define IDS_DL_HEADER_SUBTITLE          224
#define IDS_FINISH                      230
/* Rows added after the third label set: six columns at the row's first id, and the third
   set's Korean text right after them. */
#define IDS_INSTALL_INCOMPLETE          258
/* Rows added later follow the same six columns, at ids of their own, each with its third-set
   text in the seventh place. */
#define IDS_PROXY_REFUSED               300
#define IDS_RETRY_WAIT                  290

#endif /* KESTRELVAULT_SETUP_RESOURCE_H */
