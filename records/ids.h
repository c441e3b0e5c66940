// Resource and control identifiers shared by the resource script and the logic.
#pragma once

#define IDD_MAIN 101
#define IDI_MAIN 102

#define IDC_CLOSE 1000
#define IDC_START 1001
#define IDC_PORT 1002
#define IDC_BAUD 1003
#define IDC_STORE 1004

// The download timer shares its number with the Start button.
#define DOWNLOAD_TIMER_ID 1001

// Destination list items.
#define STORE_INDEX_DESKTOP 0
#define STORE_INDEX_DOCUMENTS 1

// The window class, which is also the single-instance marker.
#define MAIN_WINDOW_CLASS "DLG_KM_740_TOOL"
