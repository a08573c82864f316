// console.cpp — the test console ("TMC Test"): opens the driver's port,
// shows what it sends and the tuned frequency from its $RTRDS sentences,
// and sends $PSRF commands from its buttons.
//
// Threads: the dialog's thread writes to the port and closes it; the
// reader thread reads it every 500 ms and changes the dialog's controls
// only by sending them messages. Closing sets stopReader and waits for the
// reader thread to end while still taking the messages it sends, so the
// port is closed and the dialog ended only once the reader can no longer
// use them.
#include <cstring>

#include <common/sentence.h>

#include "client.h"

HANDLE portHandle = INVALID_HANDLE_VALUE;
HWND testDialog = nullptr;
std::atomic<BYTE> stopReader{0};
DWORD readerThreadId = 0;
BYTE manToggle = 1;

namespace {

constexpr DWORD kCommMask = 0x81; // EV_RXCHAR | EV_ERR
constexpr DWORD kReadBytes = 250;
constexpr size_t kReadBufferBytes = 260;
constexpr int kFrequencyExtractChars = 10;
constexpr int kFrequencyInputChars = 12; // 11 characters and the terminator
constexpr size_t kSentenceBytes = 64;
constexpr DWORD kReadPauseMs = 500;
constexpr DWORD kStopPollMs = 10;

const WCHAR kCannotOpen[] = TEXT("Cannot open COM port.\r\nIs the driver loaded?");

const char kSeekDown[] = "$PSRF123,0,1*26\r\n";
const char kStepDown[] = "$PSRF123,0,0*27\r\n";
const char kStepUp[] = "$PSRF123,1,0*26\r\n";
const char kSeekUp[] = "$PSRF123,1,1*27\r\n";
const char kManOff[] = "$PSRF121,0*39\r\n$PSRF121,2*3b\r\n"; // sent when manToggle was 1
const char kManOn[] = "$PSRF121,1*38\r\n";                   // sent when manToggle was 0

// The reader thread's handle, kept so that closing can wait for its end.
HANDLE readerThread = nullptr;

// Appends text at the end of an edit box: caret to the end, then replace
// the (empty) selection.
void AppendToEdit(HWND edit, const WCHAR *text) {
    const int length = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
    SendMessageW(edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
}

// Each byte becomes the character of the same value; count < capacity.
void Widen(const BYTE *bytes, size_t count, WCHAR *wide) {
    for (size_t i = 0; i < count; ++i)
        wide[i] = static_cast<WCHAR>(bytes[i]);
    wide[count] = 0;
}

// Builds the "Set" command from the frequency box's text (at most 11
// characters; characters beyond 8 bits become '?').
void BuildSetSentence(HWND dialog, char (&sentence)[kSentenceBytes]) {
    WCHAR typed[kFrequencyInputChars] = {};
    GetWindowTextW(GetDlgItem(dialog, IDC_FREQ), typed, kFrequencyInputChars);
    typed[kFrequencyInputChars - 1] = 0;
    char narrow[kFrequencyInputChars] = {};
    for (int i = 0; i < kFrequencyInputChars - 1 && typed[i] != 0; ++i)
        narrow[i] = typed[i] < 0x100 ? static_cast<char>(typed[i]) : '?';
    snprintf(sentence, sizeof sentence, "$PSRF122,%s,1,0*", narrow);
    ChecksumSentence(sentence, sizeof sentence);
    const size_t length = strnlen(sentence, sizeof sentence);
    if (length + 3 <= sizeof sentence)
        std::memcpy(sentence + length, "\r\n", 3);
}

// Writes a sentence to the port and echoes it in the send box.
void SendSentence(HWND dialog, const char *sentence) {
    const size_t length = strnlen(sentence, kSentenceBytes);
    DWORD written = 0;
    WriteFile(portHandle, sentence, static_cast<DWORD>(length), &written, nullptr);

    WCHAR wide[kSentenceBytes + 1];
    Widen(reinterpret_cast<const BYTE *>(sentence), length, wide);
    HWND sendBox = GetDlgItem(dialog, IDC_SEND);
    SetFocus(sendBox);
    AppendToEdit(sendBox, wide);
}

// Opens the port and starts the reader, or tells the user and ends.
void OpenConsole(HWND dialog) {
    InitFullScreenDialog(dialog);
    portHandle = CreateFileW(panelSettings.portName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (portHandle == INVALID_HANDLE_VALUE) {
        MessageBoxW(nullptr, kCannotOpen, TEXT("ERROR"), MB_OK | MB_ICONERROR);
        EndDialog(dialog, IDCANCEL);
        return;
    }
    testDialog = dialog;
    stopReader = 0;
    readerThread = CreateThread(nullptr, 0, ReaderThread, nullptr, 0, &readerThreadId);
    if (readerThread == nullptr)
        readerThreadId = 0;
}

// Waits for the reader thread to end. Meanwhile the messages it sends to
// the dialog are taken (PeekMessageW handles sent messages), but posted
// input stays queued: no button or second close runs inside the closing.
void WaitForReader() {
    if (readerThread == nullptr)
        return;
    MSG message;
    while (WaitForSingleObject(readerThread, kStopPollMs) == WAIT_TIMEOUT)
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    CloseHandle(readerThread);
    readerThread = nullptr;
}

void CloseConsole(HWND dialog) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    stopReader = 1;
    WaitForReader();
    readerThreadId = 0;
    if (portHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(portHandle);
        portHandle = INVALID_HANDLE_VALUE;
    }
    SetCursor(nullptr);
    EndDialog(dialog, IDOK);
    testDialog = nullptr;
}

void OnCommand(HWND dialog, int id) {
    char sentence[kSentenceBytes] = {};
    switch (id) {
    case IDC_SEEK_DOWN:
        std::memcpy(sentence, kSeekDown, sizeof kSeekDown);
        break;
    case IDC_STEP_DOWN:
        std::memcpy(sentence, kStepDown, sizeof kStepDown);
        break;
    case IDC_STEP_UP:
        std::memcpy(sentence, kStepUp, sizeof kStepUp);
        break;
    case IDC_SEEK_UP:
        std::memcpy(sentence, kSeekUp, sizeof kSeekUp);
        break;
    case IDC_SET:
        BuildSetSentence(dialog, sentence);
        break;
    case IDC_MAN:
        if (manToggle == 1)
            std::memcpy(sentence, kManOff, sizeof kManOff);
        else
            std::memcpy(sentence, kManOn, sizeof kManOn);
        manToggle = manToggle == 1 ? 0 : 1;
        break;
    default:
        return;
    }
    SendSentence(dialog, sentence);
}

static_assert(sizeof kManOff <= kSentenceBytes && sizeof kSeekDown <= kSentenceBytes);

} // namespace

INT_PTR CALLBACK TestDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OpenConsole(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            CloseConsole(dialog);
        else
            OnCommand(dialog, LOWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        CloseConsole(dialog);
        return TRUE;
    default:
        return FALSE;
    }
}

// Polls the port: one read of at most 250 bytes every 500 ms, shown in the
// receive box, with the frequency field of the first $RTRDS sentence of
// the read copied into the frequency box. Every message to the dialog is
// sent only while stopReader is clear; closing keeps the dialog alive
// until this thread has ended.
DWORD WINAPI ReaderThread(LPVOID) {
    SetCommMask(portHandle, kCommMask);
    HWND dialog = testDialog;
    BYTE buffer[kReadBufferBytes];
    WCHAR wide[kReadBufferBytes];
    while (!stopReader) {
        DWORD got = 0;
        if (!ReadFile(portHandle, buffer, kReadBytes, &got, nullptr) || got > kReadBytes)
            got = 0;
        buffer[got] = 0;

        Widen(buffer, got, wide);
        if (stopReader)
            break;
        AppendToEdit(GetDlgItem(dialog, IDC_RECEIVE), wide);
        if (stopReader)
            break;
        SetFocus(GetDlgItem(dialog, IDC_FREQ));

        // Behind "RTRDS" and its separator: the frequency field, cut by
        // the end of the read.
        const int i = FindToken(0, reinterpret_cast<const char *>(buffer), "RTRDS");
        if (i != -1 && !stopReader) {
            const DWORD from = static_cast<DWORD>(i) + 6;
            DWORD count = from < got ? got - from : 0;
            if (count > kFrequencyExtractChars)
                count = kFrequencyExtractChars;
            WCHAR frequency[kFrequencyExtractChars + 1];
            Widen(buffer + (from < got ? from : got), count, frequency);
            SetDlgItemTextW(dialog, IDC_FREQ, frequency);
        }
        Sleep(kReadPauseMs);
    }
    // The dialog lives until this thread has ended: closing waits for it
    // while taking the messages sent here.
    SetDlgItemTextW(dialog, IDC_FREQ, TEXT("Exiting.."));
    return 0;
}
