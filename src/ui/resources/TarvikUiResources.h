#pragma once
// Resource ids of the toolbar's pictures, icons and the About box. Included
// by TarvikUi.rc too, so plain macros only.

// Both faces of the capture button side by side, 72x24 each: idle at x 0,
// active at x 72. 32-bit with straight alpha.
#define IDB_CAPTURE_FACES 201
#define TARVIK_CAPTURE_FACE_WIDTH 72
#define TARVIK_CAPTURE_FACE_HEIGHT 24
// The About box's product picture, 64x64, opaque.
#define IDB_ABOUT_PICTURE 202

// Icons with 16, 24 and 32 pixel images.
#define IDI_OPTIONS 301
#define IDI_HELP 302
#define IDI_ABOUT 303
#define IDI_GETTING_STARTED 304
#define IDI_HELP_ONLINE 305
#define IDI_ONLINE_FORUM 306
#define IDI_FEEDBACK_MAIL 307
#define IDI_SUPPORT_ONLINE 308
#define IDI_UNINSTALL 309
#define IDI_CANCEL_CAPTURE 310
#define IDI_BEEP 311

// The About box and its controls.
#define IDD_ABOUT 401
#define IDC_ABOUT_PICTURE 402
#define IDC_ABOUT_PRODUCT 403
#define IDC_ABOUT_VERSION 404
#define IDC_ABOUT_LINE 405
