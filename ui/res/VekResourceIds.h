#pragma once
// Resource ids of VekLauncher.exe shared by the resource script and the code.

// Dialogs created by Windows from the executable.
#define IDD_VEK_MAIN 129
#define IDD_VEK_UNSUPPORTED_PROCESSOR 300
#define IDC_VEK_UNSUPPORTED_TEXT 1501
#define IDC_VEK_UNSUPPORTED_LINK 1502

// The program and notification-area icon.
#define IDI_VEK_LAUNCHER 201

// The progress animation (resource type "GIF") and the images (resource type "PNG").
#define IDR_VEK_PROGRESS_GIF 105
#define IDR_PNG_ERROR 101
#define IDR_PNG_CLOSE 108
#define IDR_PNG_CLOSE_HOVER 109
#define IDR_PNG_MINIMIZE 110
#define IDR_PNG_MINIMIZE_HOVER 111
#define IDR_PNG_CLOSE_PUSHED 112
#define IDR_PNG_BUTTON_PUSHED 113
#define IDR_PNG_MINIMIZE_PUSHED 114
#define IDR_PNG_CLOSE_DISABLED 115
#define IDR_PNG_ALERT 218
#define IDR_PNG_PROGRESS_TRACK 242
#define IDR_PNG_BUTTON 248
#define IDR_PNG_BUTTON_HOVER 249
#define IDR_PNG_SUCCESS 282
#define IDR_PNG_BUTTON_DISABLED 285
#define IDR_PNG_LOGO 309
#define IDR_PNG_FOOTER 310
#define IDR_PNG_BANNER 312
#define IDR_PNG_WARNING 339
