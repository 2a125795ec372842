// Resource identifiers of the image update tool.
#define IDD_MAIN        101
#define IDD_UPDATE      102
#define IDI_UPDATE_TOOL 102

// Main dialog
#define IDC_CLEAR_REGISTRY 1000
#define IDC_SAVE_REGISTRY  1001
#define IDC_UPDATE_IMAGE   1002
#define IDC_REBOOT         1003
#define IDC_BSP_VERSION    1004

// Update dialog
#define IDC_STEP_PROGRESS  1002
#define IDC_TOTAL_PROGRESS 1003
#define IDC_STEP_TEXT      1004
#define IDC_IMAGE_TEXT     1005
