// Resource ids of morx32.dll.
#pragma once

#define IDI_MORX 1
#define IDD_PROGRESS 130

#define IDC_STOP 2000
#define IDC_FINISH 3000
#define IDC_FIRST_GROUP 1000
#define IDC_LAST_GROUP 1090
#define IDC_CLOCK 1342
