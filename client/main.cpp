// main.cpp — the program's start (WinMain), its frame window, the settings
// dialog and the About box.
#include "client.h"

HINSTANCE appInstance = nullptr;
HWND mainWindow = nullptr;
bool driverActive = false;

namespace {

constexpr int kLoadStringChars = 100;
constexpr UINT kClassStyle = CS_HREDRAW | CS_VREDRAW; // 3
constexpr DWORD kDialogFlags =
    SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_SIPDOWN | SHIDIF_EMPTYMENU; // 0x2D
static_assert(kDialogFlags == 0x2D);

const WCHAR *const kBandNames[] = {TEXT("CCIR 87.5-108 MHz"), TEXT("Japan 76-91MHz"),
                                   TEXT("World 76-108MHz")};
const WCHAR *const kDataNames[] = {TEXT("TMC Data"), TEXT("TMC + GPS Data")};
const WCHAR *const kSoundNames[] = {TEXT("Speaker"), TEXT("Headset")};
const WCHAR *const kMuteNames[] = {TEXT("Tuned sound"), TEXT("Mute")};
const WCHAR *const kLoadNames[] = {TEXT("Manual"), TEXT("Automatic")};
constexpr int kPortCount = 10; // COM0: to COM9:

// Adds the entries of one settings box, selects the stored position (a
// position without an entry leaves no selection: CB_SETCURSEL refuses it)
// and enables the box while the driver is not loaded.
void FillBox(HWND dialog, int id, const WCHAR *const *names, int count, int position) {
    for (int i = 0; i < count; ++i)
        SendDlgItemMessageW(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(names[i]));
    SendDlgItemMessageW(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
    EnableWindow(GetDlgItem(dialog, id), driverActive ? FALSE : TRUE);
}

void FillPortBox(HWND dialog, int position) {
    for (int port = 0; port < kPortCount; ++port) {
        WCHAR name[kPortNameChars];
        wsprintfW(name, TEXT("COM%d:"), port);
        SendDlgItemMessageW(dialog, IDC_COMPORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendDlgItemMessageW(dialog, IDC_COMPORT, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
    EnableWindow(GetDlgItem(dialog, IDC_COMPORT), driverActive ? FALSE : TRUE);
}

void InitSettingsDialog(HWND dialog) {
    InitFullScreenDialog(dialog);

    SHMENUBARINFO menuBar{};
    menuBar.cbSize = sizeof menuBar;
    menuBar.hwndParent = dialog;
    menuBar.dwFlags = 0;
    menuBar.nToolBarId = IDR_MENUBAR;
    menuBar.hInstRes = appInstance;
    menuBar.nBmpId = 0;
    menuBar.cBmpImages = 0;
    SHCreateMenuBar(&menuBar);

    loadSettings();
    driverActive = findActiveDriver();
    SetWindowTextW(GetDlgItem(dialog, IDC_STATUS),
                   driverActive ? TEXT("TMC DRIVER ACTIVE") : TEXT("TMC DRIVER INACTIVE"));

    FillPortBox(dialog, panelSettings.comPort);
    FillBox(dialog, IDC_BAND, kBandNames, 3, panelSettings.fmBand);
    FillBox(dialog, IDC_DATA, kDataNames, 2, panelSettings.dataOutput);
    FillBox(dialog, IDC_SOUND, kSoundNames, 2, panelSettings.soundOutput);
    FillBox(dialog, IDC_MUTE, kMuteNames, 2, panelSettings.muteRadio);
    FillBox(dialog, IDC_LOAD, kLoadNames, 2, panelSettings.loadOnBoot);
}

} // namespace

// ---------------------------------------------------------------- dialogs

void InitFullScreenDialog(HWND dialog) {
    SHINITDLGINFO info{};
    info.dwMask = SHIDIM_FLAGS;
    info.hDlg = dialog;
    info.dwFlags = kDialogFlags;
    SHInitDialog(&info);
}

INT_PTR RunDialog(int id, DLGPROC procedure) {
    HRSRC resource = FindResourceW(appInstance, MAKEINTRESOURCEW(id), RT_DIALOG);
    if (resource == nullptr)
        return -1;
    HGLOBAL loaded = LoadResource(appInstance, resource);
    if (loaded == nullptr)
        return -1;
    const auto *templ = static_cast<LPCDLGTEMPLATEW>(LockResource(loaded));
    if (templ == nullptr)
        return -1;
    return DialogBoxIndirectParamW(appInstance, templ, mainWindow, procedure, 0);
}

// The program's whole user interface: status, the six settings, "TMC",
// and the menu bar with Exit, About and Test. Choosing an entry does
// nothing by itself; the choices are saved only by "TMC".
INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitSettingsDialog(dialog);
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDOK || id == IDM_EXIT)
            EndDialog(dialog, id);
        else if (id == IDM_ABOUT)
            RunDialog(IDD_ABOUT, AboutDlgProc);
        else if (id == IDM_TEST)
            RunDialog(IDD_TEST, TestDlgProc);
        else if (id == IDC_TMC && code == BN_CLICKED)
            loadUnloadDriver(dialog);
        // Other commands (the boxes' notifications, a stray IDCANCEL) do
        // nothing: only the "TMC" button loads or unloads the driver.
        return TRUE;
    }
    case WM_CLOSE:
        EndDialog(dialog, IDOK);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitFullScreenDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDOK)
            return FALSE;
        EndDialog(dialog, IDOK);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, IDOK);
        return TRUE;
    default:
        return FALSE;
    }
}

// ---------------------------------------------------------------- frame window

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// ---------------------------------------------------------------- WinMain

// The phone loads the module and runs this on a thread of its own, as the
// shell starts a program. A second start fronts the running instance's
// dialog and ends with 0. Answers the settings dialog's result.
extern "C" __declspec(dllexport) int WINAPI
    WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showMode) {
    appInstance = instance;
    WCHAR title[kLoadStringChars] = {};
    WCHAR className[kLoadStringChars] = {};
    LoadStringW(instance, IDS_APP, title, kLoadStringChars);
    LoadStringW(instance, IDS_APP, className, kLoadStringChars);

    HWND running = FindWindowW(className, title);
    if (running != nullptr) {
        SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(running) |
                                                   static_cast<ULONG_PTR>(1)));
        return 0;
    }

    WNDCLASSW windowClass{};
    windowClass.style = kClassStyle;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = nullptr;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);

    mainWindow = CreateWindowExW(0, className, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (mainWindow == nullptr) {
        UnregisterClassW(className, instance);
        return 0;
    }
    ShowWindow(mainWindow, showMode);
    UpdateWindow(mainWindow);

    const INT_PTR result = RunDialog(IDD_SETTINGS, SettingsDlgProc);

    // On the device the process ends here and takes its window and class
    // with it; here the phone lives on (and may start the program again, or
    // unload the module), so the window and class go now.
    DestroyWindow(mainWindow);
    mainWindow = nullptr;
    UnregisterClassW(className, instance);
    return static_cast<int>(result);
}
