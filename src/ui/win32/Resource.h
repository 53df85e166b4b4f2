#pragma once
// Resource ids of the Windows programs, shared by Updater.rc and the C++ face. The
// main dialog's control ids are those of the dialog (app/WindowSystem.h); the face
// checks at compile time that the two lists agree.

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDD_JOURNAL 103
#define IDR_MAINFRAME 128

#define IDC_MAIN_LOG 1000
#define IDC_MAIN_GROUP 1003
#define IDC_MAIN_INTERFACE 1004
#define IDC_MAIN_FILE 1005
#define IDC_MAIN_UPDATE 1006
#define IDC_MAIN_PROGRESS 1007
#define IDC_MAIN_PROGRESS_LABEL 1008
#define IDC_MAIN_CANCEL 1009
#define IDC_MAIN_INTERFACE_LABEL 1010
#define IDC_MAIN_DOWNLOAD_LABEL 1012
#define IDC_MAIN_FILENAME 1014
#define IDC_MAIN_PERCENT 1015

// The About box's two text lines (the face sets them from the variant's strings).
#define IDC_ABOUT_LINE1 1101
#define IDC_ABOUT_LINE2 1102

// The service journal's window: the file's path, why it could not be read, the list.
#define IDC_JOURNAL_PATH 1201
#define IDC_JOURNAL_PROBLEM 1202
#define IDC_JOURNAL_LIST 1203
