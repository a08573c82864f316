// resources.cpp — the program's resources as data, in the layouts a
// Windows CE resource section holds: string table blocks, dialog templates,
// the menu and the menu-bar description, the icon group with its three
// images, and the high-resolution marker. Built once when the module loads
// and exported as the module's CeResourceTable.
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include <platform/resources.h>

#include "client.h"

namespace {

// ---------------------------------------------------------------- byte writer

// Appends little-endian words and UTF-16 text, as resources hold them.
class ResourceWriter {
public:
    ResourceWriter &Byte(BYTE value) {
        bytes_.push_back(value);
        return *this;
    }
    ResourceWriter &Word(WORD value) {
        Byte(static_cast<BYTE>(value & 0xFF));
        return Byte(static_cast<BYTE>(value >> 8));
    }
    ResourceWriter &Dword(DWORD value) {
        Word(static_cast<WORD>(value & 0xFFFF));
        return Word(static_cast<WORD>(value >> 16));
    }
    // Zero-terminated UTF-16 text.
    ResourceWriter &Text(const char16_t *text) {
        for (; *text != 0; ++text)
            Word(static_cast<WORD>(*text));
        return Word(0);
    }
    // Pads to the next multiple of four bytes from the start.
    ResourceWriter &AlignDword() {
        while (bytes_.size() % 4 != 0)
            Byte(0);
        return *this;
    }
    std::vector<BYTE> Take() { return std::move(bytes_); }

private:
    std::vector<BYTE> bytes_;
};

// ---------------------------------------------------------------- string tables

// One RT_STRING block: 16 strings, each a WORD length and that many UTF-16
// characters (no terminator); strings not given are empty. Block b holds
// the ids (b - 1) * 16 to (b - 1) * 16 + 15.
std::vector<BYTE> StringBlock(int blockId,
                              std::initializer_list<std::pair<int, const char16_t *>> strings) {
    ResourceWriter out;
    for (int slot = 0; slot < 16; ++slot) {
        const char16_t *text = nullptr;
        for (const auto &[id, value] : strings)
            if (id == (blockId - 1) * 16 + slot)
                text = value;
        const size_t length = text != nullptr ? std::char_traits<char16_t>::length(text) : 0;
        out.Word(static_cast<WORD>(length));
        for (size_t i = 0; i < length; ++i)
            out.Word(static_cast<WORD>(text[i]));
    }
    return out.Take();
}

constexpr int StringBlockId(int id) {
    return id / 16 + 1;
}
static_assert(StringBlockId(IDS_APP) == 1 && StringBlockId(IDS_EXIT) == StringBlockId(IDS_MENU));

// ---------------------------------------------------------------- dialog templates

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kComboClass = 0x0085;

struct Rect {
    short x, y, cx, cy;
};

struct Control {
    int id;
    WORD classAtom;
    DWORD style; // WS_CHILD | WS_VISIBLE are added
    Rect rect;
    const char16_t *text = TEXT("");
    WORD textResource = 0; // text given as a resource ordinal instead (an icon)
};

struct Dialog {
    DWORD style;
    DWORD exStyle;
    short cx, cy;
    const char16_t *caption;
    std::vector<Control> controls;
};

const char16_t kFontFace[] = TEXT("MS Shell Dlg");
constexpr WORD kFontPoints = 8;

Control PushButton(int id, const char16_t *text, Rect rect) {
    return {id, kButtonClass, BS_PUSHBUTTON | WS_TABSTOP, rect, text};
}
Control Label(const char16_t *text, DWORD align, Rect rect) {
    return {IDC_STATIC, kStaticClass, align | WS_GROUP, rect, text};
}
Control DropList(int id, Rect rect) {
    return {id, kComboClass, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, rect};
}
Control LogEdit(int id, Rect rect) {
    return {id, kEditClass,
            ES_LEFT | ES_MULTILINE | ES_AUTOVSCROLL | WS_BORDER | WS_VSCROLL | WS_TABSTOP, rect};
}

// DLGTEMPLATE, no menu, the standard class, the caption, the font; then per
// control a DWORD-aligned DLGITEMTEMPLATE, its class atom, its text and no
// creation data.
std::vector<BYTE> DialogTemplate(const Dialog &dialog) {
    ResourceWriter out;
    out.Dword(dialog.style | DS_SETFONT).Dword(dialog.exStyle);
    out.Word(static_cast<WORD>(dialog.controls.size()));
    out.Word(0).Word(0).Word(static_cast<WORD>(dialog.cx)).Word(static_cast<WORD>(dialog.cy));
    out.Word(0); // no menu
    out.Word(0); // the standard dialog class
    out.Text(dialog.caption);
    out.Word(kFontPoints).Text(kFontFace);
    for (const Control &c : dialog.controls) {
        out.AlignDword();
        out.Dword(WS_CHILD | WS_VISIBLE | c.style).Dword(0);
        out.Word(static_cast<WORD>(c.rect.x)).Word(static_cast<WORD>(c.rect.y));
        out.Word(static_cast<WORD>(c.rect.cx)).Word(static_cast<WORD>(c.rect.cy));
        out.Word(static_cast<WORD>(c.id));
        out.Word(0xFFFF).Word(c.classAtom);
        if (c.textResource != 0)
            out.Word(0xFFFF).Word(c.textResource);
        else
            out.Text(c.text);
        out.Word(0); // no creation data
    }
    return out.Take();
}

const Dialog kSettingsDialog = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS,
    0,
    158,
    186,
    TEXT("Tavrinel"),
    {
        {IDC_STATUS, kStaticClass, SS_CENTER | WS_GROUP, {7, 7, 112, 8}, TEXT("DRIVER NOT LOADED")},
        PushButton(IDC_TMC, TEXT("TMC"), {125, 7, 26, 12}),
        DropList(IDC_COMPORT, {80, 23, 71, 90}),
        DropList(IDC_BAND, {80, 41, 71, 73}),
        DropList(IDC_DATA, {80, 59, 71, 68}),
        DropList(IDC_SOUND, {80, 77, 71, 65}),
        DropList(IDC_MUTE, {80, 95, 71, 67}),
        DropList(IDC_LOAD, {80, 113, 71, 58}),
        Label(TEXT("COM Port"), SS_LEFT, {15, 25, 41, 12}),
        Label(TEXT("FM Band"), SS_LEFT, {15, 44, 48, 10}),
        Label(TEXT("Data output"), SS_LEFT, {15, 60, 61, 12}),
        Label(TEXT("Sound output"), SS_LEFT, {15, 78, 58, 11}),
        Label(TEXT("Mute radio"), SS_LEFT, {15, 95, 50, 13}),
        Label(TEXT("Load on boot"), SS_LEFT, {15, 113, 49, 11}),
    },
};

const Dialog kAboutDialog = {
    WS_POPUP | WS_CAPTION | DS_SETFONT | DS_FIXEDSYS,
    WS_EX_CAPTIONOKBTN,
    156,
    129,
    TEXT("About VorliskClient"),
    {
        {IDC_ABOUT_ICON,
         kStaticClass,
         SS_ICON | SS_REALSIZEIMAGE,
         {12, 12, 20, 20},
         TEXT(""),
         IDI_APP},
        {IDC_ABOUT_VERSION,
         kStaticClass,
         SS_LEFT | SS_NOPREFIX | WS_GROUP,
         {12, 36, 70, 8},
         TEXT("VorliskClient Version 0.1")},
        {IDC_ABOUT_NOTICE,
         kStaticClass,
         SS_LEFT | WS_GROUP,
         {12, 48, 123, 8},
         TEXT("RDS-TMC receiver port for navigation")},
    },
};

const Dialog kTestDialog = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS,
    0,
    168,
    186,
    TEXT("TMC Test"),
    {
        PushButton(IDC_SEEK_DOWN, TEXT("|<"), {7, 7, 16, 13}),
        PushButton(IDC_STEP_DOWN, TEXT("<"), {23, 7, 16, 13}),
        PushButton(IDC_STEP_UP, TEXT(">"), {88, 7, 16, 13}),
        PushButton(IDC_SEEK_UP, TEXT(">|"), {104, 7, 16, 13}),
        {IDC_FREQ, kEditClass, ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, {38, 7, 51, 13}},
        PushButton(IDC_SET, TEXT("Set"), {39, 22, 22, 11}),
        PushButton(IDC_MAN, TEXT("Man"), {63, 22, 22, 11}),
        Label(TEXT("Send"), SS_LEFT, {7, 25, 22, 9}),
        Label(TEXT("Receive"), SS_LEFT, {7, 86, 48, 9}),
        LogEdit(IDC_RECEIVE, {7, 97, 146, 64}),
        LogEdit(IDC_SEND, {7, 36, 147, 50}),
    },
};

// ---------------------------------------------------------------- menu and menu bar

constexpr WORD kMenuPopup = 0x0010; // MF_POPUP
constexpr WORD kMenuEnd = 0x0080;   // MF_END

// Old-style RT_MENU: the header (version 0, offset 0), then one popup
// "Menu" with "About" and "Test".
std::vector<BYTE> MenuTemplate() {
    ResourceWriter out;
    out.Word(0).Word(0);
    out.Word(kMenuPopup | kMenuEnd).Text(TEXT("Menu"));
    out.Word(0).Word(IDM_ABOUT).Text(TEXT("About"));
    out.Word(kMenuEnd).Word(IDM_TEST).Text(TEXT("Test"));
    return out.Take();
}

// The shell's menu-bar description: the menu id, the button count, then
// per button image, command, state, style, caption string, popup index.
std::vector<BYTE> MenuBarDescription() {
    ResourceWriter out;
    out.Word(IDR_MENUBAR).Word(2);
    out.Word(I_IMAGENONE).Word(IDM_EXIT).Word(TBSTATE_ENABLED);
    out.Word(TBSTYLE_BUTTON | TBSTYLE_AUTOSIZE).Word(IDS_EXIT).Word(NOMENU);
    out.Word(I_IMAGENONE).Word(IDM_MENU).Word(TBSTATE_ENABLED);
    out.Word(TBSTYLE_DROPDOWN | TBSTYLE_AUTOSIZE).Word(IDS_MENU).Word(0);
    return out.Take();
}

// ---------------------------------------------------------------- icon

// The program icon: a navy disc with a white antenna mast and three orange
// signal arcs, on a transparent ground. 256 colours: a 6x6x6 colour cube
// (index r * 36 + g * 6 + b, levels 0..5) and 40 greys.
constexpr int kIconSizes[] = {64, 32, 16};
constexpr WORD kFirstIconImage = 1;
constexpr DWORD kBitmapHeaderBytes = 40;
constexpr int kPaletteColours = 256;

constexpr BYTE CubeIndex(int r, int g, int b) {
    return static_cast<BYTE>(r * 36 + g * 6 + b);
}
constexpr BYTE kTransparent = CubeIndex(0, 0, 0);
constexpr BYTE kNavy = CubeIndex(0, 1, 3);
constexpr BYTE kWhite = CubeIndex(5, 5, 5);
constexpr BYTE kOrange = CubeIndex(5, 3, 0);

// Which colour a pixel of a size x size image has (y counts down from the
// top); transparent outside the disc.
BYTE IconPixel(int size, int x, int y) {
    const double unit = size / 16.0;
    const double cx = size / 2.0 - 0.5;
    const double cy = size / 2.0 - 0.5;
    const double dx = x - cx;
    const double dy = y - cy;
    if (dx * dx + dy * dy > (size / 2.0) * (size / 2.0))
        return kTransparent;
    // Mast: a vertical bar from the centre down, on a small base.
    if (dx > -unit * 0.75 && dx < unit * 0.75 && dy > -unit * 1.5 && dy < unit * 5.0)
        return kWhite;
    if (dy >= unit * 4.0 && dy < unit * 5.0 && dx > -unit * 3.0 && dx < unit * 3.0)
        return kWhite;
    // Arcs above the mast's top, opening upwards.
    const double ty = dy + unit * 1.5;
    const double r2 = dx * dx + ty * ty;
    if (ty < -unit * 0.5 && (dx < 0 ? -dx : dx) < -ty * 1.2) {
        for (double ring = 2.5; ring <= 6.5; ring += 2.0) {
            const double inner = (ring - 0.5) * unit;
            const double outer = (ring + 0.5) * unit;
            if (r2 >= inner * inner && r2 <= outer * outer)
                return kOrange;
        }
    }
    return kNavy;
}

bool IconTransparent(int size, int x, int y) {
    return IconPixel(size, x, y) == kTransparent;
}

DWORD MaskRowBytes(int size) {
    return static_cast<DWORD>(((size + 31) / 32) * 4);
}
DWORD ImageBytes(int size) {
    return kBitmapHeaderBytes + kPaletteColours * 4 + static_cast<DWORD>(size * size) +
           MaskRowBytes(size) * static_cast<DWORD>(size);
}

// One RT_ICON image: BITMAPINFOHEADER (height doubled for the mask), the
// palette, the colour rows bottom-up, then the AND mask rows (1 =
// transparent), each row padded to four bytes.
std::vector<BYTE> IconImage(int size) {
    ResourceWriter out;
    const DWORD pixelBytes = static_cast<DWORD>(size * size);
    const DWORD maskBytes = MaskRowBytes(size) * static_cast<DWORD>(size);
    out.Dword(kBitmapHeaderBytes)
        .Dword(static_cast<DWORD>(size))
        .Dword(static_cast<DWORD>(size * 2));
    out.Word(1).Word(8).Dword(0).Dword(pixelBytes + maskBytes);
    out.Dword(0).Dword(0).Dword(0).Dword(0);
    for (int i = 0; i < kPaletteColours; ++i) {
        BYTE r, g, b;
        if (i < 216) {
            r = static_cast<BYTE>((i / 36) * 51);
            g = static_cast<BYTE>(((i / 6) % 6) * 51);
            b = static_cast<BYTE>((i % 6) * 51);
        } else {
            r = g = b = static_cast<BYTE>((i - 216) * 255 / 39);
        }
        out.Byte(b).Byte(g).Byte(r).Byte(0); // RGBQUAD
    }
    for (int row = size - 1; row >= 0; --row)
        for (int x = 0; x < size; ++x)
            out.Byte(IconPixel(size, x, row));
    for (int row = size - 1; row >= 0; --row) {
        for (DWORD byte = 0; byte < MaskRowBytes(size); ++byte) {
            BYTE bits = 0;
            for (int bit = 0; bit < 8; ++bit) {
                const int x = static_cast<int>(byte) * 8 + bit;
                if (x >= size || IconTransparent(size, x, row))
                    bits = static_cast<BYTE>(bits | (0x80 >> bit));
            }
            out.Byte(bits);
        }
    }
    return out.Take();
}

// RT_GROUP_ICON: GRPICONDIR (reserved, type 1, count) and per image a
// GRPICONDIRENTRY (width, height, 0 colours meaning 256, reserved, planes,
// bits per pixel, image bytes, RT_ICON id).
std::vector<BYTE> IconGroup() {
    ResourceWriter out;
    out.Word(0).Word(1).Word(static_cast<WORD>(std::size(kIconSizes)));
    WORD imageId = kFirstIconImage;
    for (int size : kIconSizes) {
        out.Byte(static_cast<BYTE>(size)).Byte(static_cast<BYTE>(size)).Byte(0).Byte(0);
        out.Word(1).Word(8).Dword(ImageBytes(size)).Word(imageId++);
    }
    return out.Take();
}

std::vector<BYTE> HighResolutionMarker() {
    ResourceWriter out;
    out.Word(1);
    return out.Take();
}

// ---------------------------------------------------------------- the table

const std::vector<BYTE> stringsBlock1 =
    StringBlock(StringBlockId(IDS_APP), {{IDS_APP, TEXT("VorliskClient")}});
const std::vector<BYTE> stringsBlock7 =
    StringBlock(StringBlockId(IDS_EXIT), {{IDS_EXIT, TEXT("Exit")}, {IDS_MENU, TEXT("Menu")}});
const std::vector<BYTE> settingsTemplate = DialogTemplate(kSettingsDialog);
const std::vector<BYTE> aboutTemplate = DialogTemplate(kAboutDialog);
const std::vector<BYTE> testTemplate = DialogTemplate(kTestDialog);
const std::vector<BYTE> menuTemplate = MenuTemplate();
const std::vector<BYTE> menuBar = MenuBarDescription();
const std::vector<BYTE> iconGroup = IconGroup();
const std::vector<BYTE> icon64 = IconImage(kIconSizes[0]);
const std::vector<BYTE> icon32 = IconImage(kIconSizes[1]);
const std::vector<BYTE> icon16 = IconImage(kIconSizes[2]);
const std::vector<BYTE> highResolution = HighResolutionMarker();

CeResource Entry(LPCWSTR type, LPCWSTR name, const std::vector<BYTE> &data) {
    return {type, name, data.data(), static_cast<DWORD>(data.size())};
}

const CeResource resourceEntries[] = {
    Entry(RT_STRING, MAKEINTRESOURCEW(StringBlockId(IDS_APP)), stringsBlock1),
    Entry(RT_STRING, MAKEINTRESOURCEW(StringBlockId(IDS_EXIT)), stringsBlock7),
    Entry(RT_DIALOG, MAKEINTRESOURCEW(IDD_SETTINGS), settingsTemplate),
    Entry(RT_DIALOG, MAKEINTRESOURCEW(IDD_ABOUT), aboutTemplate),
    Entry(RT_DIALOG, MAKEINTRESOURCEW(IDD_TEST), testTemplate),
    Entry(RT_MENU, MAKEINTRESOURCEW(IDR_MENUBAR), menuTemplate),
    Entry(RT_RCDATA, MAKEINTRESOURCEW(IDR_MENUBAR), menuBar),
    Entry(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_APP), iconGroup),
    Entry(RT_ICON, MAKEINTRESOURCEW(kFirstIconImage), icon64),
    Entry(RT_ICON, MAKEINTRESOURCEW(kFirstIconImage + 1), icon32),
    Entry(RT_ICON, MAKEINTRESOURCEW(kFirstIconImage + 2), icon16),
    Entry(TEXT("CEUX"), TEXT("HI_RES_AWARE"), highResolution),
};

} // namespace

extern "C" __declspec(dllexport) const struct CeResourceTable CeResourceTable = {
    static_cast<DWORD>(std::size(resourceEntries)), resourceEntries};
