/*
 * The host side of the plug-in interface, as far as Pernot uses it.
 *
 * The host is the Miranda IM client. This header declares its records,
 * service names, event names and status numbers with exactly the fields the
 * plug-in reads or fills, in the host's field order. Size fields hold the
 * sizeof of the record as compiled here.
 *
 * On POSIX the window system is replaced by a small host-side layer:
 *  - timers and message boxes are services the plug-in asks of the host
 *    ("Host/SetTimer", "Host/KillTimer", "Host/MessageBox");
 *  - a dialog is data (DIALOGRESOURCE) found through the module handle that
 *    the plug-in hands over in its options page; the host builds it and
 *    gives the dialog procedure a DIALOGWINDOW whose operations work on
 *    control ids.
 * A Windows build maps these to window timers, MessageBox and a dialog
 * resource.
 *
 * Plain C so that a host written in any language can use it.
 */
#ifndef PERNOT_HOST_INTERFACE_H
#define PERNOT_HOST_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef unsigned int UINT;
typedef void *HANDLE;
typedef void *HICON;

/* ---- Plug-in information ---------------------------------------------- */

/* One byte per part, most significant first: 0.2.1.2 is 0x00020102. */
#define PLUGIN_MAKE_VERSION(a, b, c, d) \
    (((DWORD)(a) << 24) | ((DWORD)(b) << 16) | ((DWORD)(c) << 8) | (DWORD)(d))

typedef struct PLUGININFO {
    int cbSize;
    const char *shortName;
    DWORD version;
    const char *description;
    const char *author;
    const char *authorEmail;
    const char *copyright;
    const char *homepage;
    BYTE isTransient;
    int replacesDefaultModule;
} PLUGININFO;

/* ---- Host link ---------------------------------------------------------- */

typedef int (*MIRANDAHOOK)(WPARAM wParam, LPARAM lParam);

/* The host's service table handed to Load. */
typedef struct PLUGINLINK {
    HANDLE (*HookEvent)(const char *name, MIRANDAHOOK hook);
    int (*UnhookEvent)(HANDLE hook);
    INT_PTR (*CallService)(const char *name, WPARAM wParam, LPARAM lParam);
} PLUGINLINK;

/* What CallService gives back for a name nobody has registered. */
#define CALLSERVICE_NOTFOUND ((INT_PTR)0x80000000)

/* ---- Exports of a plug-in ----------------------------------------------- */

typedef PLUGININFO *(*MIRANDAPLUGININFO_FN)(DWORD mirandaVersion);
typedef int (*LOAD_FN)(PLUGINLINK *link);
typedef int (*UNLOAD_FN)(void);

/* ---- Status numbers ----------------------------------------------------- */

#define ID_STATUS_CONNECTING 1
#define ID_STATUS_OFFLINE 40071
#define ID_STATUS_ONLINE 40072

/* ---- Contact list ------------------------------------------------------- */

/* wParam, lParam: 0. Returns the global status. */
#define MS_CLIST_GETSTATUSMODE "CList/GetStatusMode"
/* wParam: the status to set. */
#define MS_CLIST_SETSTATUSMODE "CList/SetStatusMode"
/* Fired when the global status changes. */
#define ME_CLIST_STATUSMODECHANGE "CList/StatusModeChange"

/* ---- Protocols ---------------------------------------------------------- */

typedef struct PROTOCOLDESCRIPTOR {
    int cbSize;
    const char *szName;
} PROTOCOLDESCRIPTOR;

/* wParam: int* count, lParam: PROTOCOLDESCRIPTOR*** array. */
#define MS_PROTO_ENUMPROTOCOLS "Proto/EnumProtocols"
/* Appended to a protocol's name. GetStatus returns the status; SetStatus
   takes it in wParam (16 bits). */
#define PS_GETSTATUS "/GetStatus"
#define PS_SETSTATUS "/SetStatus"
/* Buffer the service name of a protocol is built in. */
#define MAXMODULELABELLENGTH 64

/* ---- Settings database -------------------------------------------------- */

#define DBVT_DWORD 4

typedef struct DBVARIANT {
    BYTE type;
    DWORD dVal;
} DBVARIANT;

typedef struct DBCONTACTGETSETTING {
    const char *szModule;
    const char *szSetting;
    DBVARIANT *pValue;
} DBCONTACTGETSETTING;

typedef struct DBCONTACTWRITESETTING {
    const char *szModule;
    const char *szSetting;
    DBVARIANT value;
} DBCONTACTWRITESETTING;

/* wParam: contact (0 = none), lParam: DBCONTACTGETSETTING*. 0 = found. */
#define MS_DB_CONTACT_GETSETTING "DB/Contact/GetSetting"
/* wParam: contact (0 = none), lParam: DBCONTACTWRITESETTING*. */
#define MS_DB_CONTACT_WRITESETTING "DB/Contact/WriteSetting"

/* ---- Dialogs ------------------------------------------------------------ */

typedef struct DIALOGWINDOW DIALOGWINDOW;
typedef DIALOGWINDOW *HWND;

/* Operations on the controls of a dialog the host has built. */
typedef struct DIALOGOPS {
    int (*SetItemInt)(HWND dlg, int id, UINT value, int isSigned);
    UINT (*GetItemInt)(HWND dlg, int id, int *translated, int isSigned);
    int (*CheckButton)(HWND dlg, int id, UINT check);
    UINT (*IsButtonChecked)(HWND dlg, int id);
} DIALOGOPS;

struct DIALOGWINDOW {
    const DIALOGOPS *ops;
    void *hostData;
};

#define BST_UNCHECKED 0
#define BST_CHECKED 1

typedef INT_PTR (*DLGPROC)(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);

#define WM_NOTIFY 0x004E
#define WM_INITDIALOG 0x0110

/* lParam of WM_NOTIFY. */
typedef struct NMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
} NMHDR;

#define PSN_KILLACTIVE ((UINT)-201)
#define PSN_APPLY ((UINT)-202)

/* Window classes of dialog controls (the dialog-template class atoms). */
#define DLGCLASS_BUTTON 0x0080
#define DLGCLASS_EDIT 0x0081
#define DLGCLASS_STATIC 0x0082

#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_BORDER 0x00800000u
#define WS_TABSTOP 0x00010000u
#define DS_SETFONT 0x00000040u
#define SS_LEFT 0x00000000u
#define ES_AUTOHSCROLL 0x00000080u
#define BS_AUTOCHECKBOX 0x00000003u

#define IDC_STATIC (-1)

/* One control of a dialog resource; positions in dialog units. */
typedef struct DIALOGCONTROL {
    WORD windowClass;
    int id;
    const char *text;
    short x, y, cx, cy;
    DWORD style;
} DIALOGCONTROL;

typedef struct DIALOGRESOURCE {
    WORD id;
    DWORD style;
    short cx, cy;
    WORD pointSize;
    const char *font;
    int controlCount;
    const DIALOGCONTROL *controls;
} DIALOGRESOURCE;

/* A module's resources; the module handle points at them. */
typedef struct MODULERESOURCES {
    int dialogCount;
    const DIALOGRESOURCE *dialogs;
} MODULERESOURCES;

typedef const MODULERESOURCES *HINSTANCE;

#define MAKEINTRESOURCE(id) ((const char *)(uintptr_t)(WORD)(id))
#define IS_INTRESOURCE(p) ((((uintptr_t)(p)) >> 16) == 0)

/* Host helper: the dialog named by a numeric resource, or 0. */
static inline const DIALOGRESOURCE *FindDialogResource(HINSTANCE module, const char *name)
{
    int i;
    if (module == 0 || !IS_INTRESOURCE(name) || module->dialogs == 0)
        return 0;
    for (i = 0; i < module->dialogCount; ++i)
        if (module->dialogs[i].id == (WORD)(uintptr_t)name)
            return &module->dialogs[i];
    return 0;
}

/* ---- Options ------------------------------------------------------------ */

typedef struct OPTIONSDIALOGPAGE {
    int cbSize;
    int position;
    const char *pszTitle;
    DLGPROC pfnDlgProc;
    const char *pszTemplate;
    HINSTANCE hInstance;
    HICON hIcon;
    const char *pszGroup;
    int groupPosition;
    HICON hGroupIcon;
    DWORD flags;
    int nIDBottomSimpleControl;
    int nIDRightSimpleControl;
    UINT *expertOnlyControls;
    int nExpertOnlyControls;
} OPTIONSDIALOGPAGE;

/* Fired when the options dialog is opened; wParam is passed on to AddPage. */
#define ME_OPT_INITIALISE "Opt/Initialise"
/* wParam: the event's wParam, lParam: OPTIONSDIALOGPAGE*. */
#define MS_OPT_ADDPAGE "Opt/AddPage"

/* ---- Translation -------------------------------------------------------- */

typedef struct LANGPACKTRANSLATEDIALOG {
    int cbSize;
    DWORD flags;
    HWND hwndDlg;
    const int *ignoreControls;
} LANGPACKTRANSLATEDIALOG;

/* wParam: 0, lParam: the text. Returns the translated text. */
#define MS_LANGPACK_TRANSLATESTRING "LangPack/TranslateString"
/* wParam: 0, lParam: LANGPACKTRANSLATEDIALOG*. */
#define MS_LANGPACK_TRANSLATEDIALOG "LangPack/TranslateDialog"

/* ---- Host environment: timers and message boxes ------------------------- */

typedef void (*TIMERPROC)(UINT_PTR timerId);

/* wParam: interval in ms, lParam: TIMERPROC. Returns the timer id, 0 on
   failure. The host calls the procedure from its main loop at each expiry,
   repeatedly, until the timer is killed. */
#define MS_HOST_SETTIMER "Host/SetTimer"
/* wParam: timer id. */
#define MS_HOST_KILLTIMER "Host/KillTimer"
/* wParam: const char* text, lParam: const char* caption. Shows an OK box. */
#define MS_HOST_MESSAGEBOX "Host/MessageBox"

#ifdef __cplusplus
}
#endif

#endif
