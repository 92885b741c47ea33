// Drives Scrivlet.dll through COM the way Explorer does: class object,
// instance, Initialize with the selection, the menu, the command, the help
// texts; then reads what reached the clipboard.  Prints every failed check
// and exits with their number.
#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int gFailures;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            printf("FAILED line %d: %s\n", __LINE__, #cond);                         \
            gFailures++;                                                             \
        }                                                                            \
    } while (0)
#define CHECK_EQ_HR(expr, want)                                                      \
    do {                                                                             \
        HRESULT got_ = (expr);                                                       \
        if (got_ != (want)) {                                                        \
            printf("FAILED line %d: %s = 0x%08lx, want 0x%08lx\n", __LINE__, #expr,  \
                   static_cast<unsigned long>(got_), static_cast<unsigned long>(want)); \
            gFailures++;                                                             \
        }                                                                            \
    } while (0)

constexpr CLSID kScrivlet = {0xa1a6e1dc, 0x54e4, 0x11d1, {0xa8, 0x43, 0x00, 0x10, 0x4b, 0x2c, 0xe3, 0x00}};
constexpr char kPath[] = "C:\\windows\\win.ini";
constexpr char kUntouched[] = "clipboard untouched";

HWND gOwner;                             // message-only owner of our own clipboard writes

// Stands in for the medium's owner: counts the releases and frees the block.
struct MediumOwner final : IUnknown {
    HGLOBAL block = nullptr;
    int releases = 0;
    STDMETHODIMP QueryInterface(REFIID, void **out) override { *out = nullptr; return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override
    {
        releases++;
        GlobalFree(block);
        block = nullptr;
        return 1;
    }
};

// The selection as Explorer hands it over: a data object offering CF_HDROP.
struct Selection final : IDataObject {
    std::vector<std::string> files;
    MediumOwner owner;
    FORMATETC asked = {};

    explicit Selection(std::vector<std::string> f) : files(std::move(f)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDataObject)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetData(FORMATETC *format, STGMEDIUM *medium) override
    {
        asked = *format;
        if (format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        size_t size = sizeof(DROPFILES) + 1;
        for (const std::string &f : files)
            size += f.size() + 1;
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
        auto *drop = static_cast<DROPFILES *>(GlobalLock(block));
        drop->pFiles = sizeof(DROPFILES);
        char *p = reinterpret_cast<char *>(drop + 1);
        for (const std::string &f : files) {
            memcpy(p, f.c_str(), f.size() + 1);
            p += f.size() + 1;
        }
        GlobalUnlock(block);
        owner.block = block;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block;
        medium->pUnkForRelease = &owner;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC *, STGMEDIUM *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC *) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC *, FORMATETC *) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC *, STGMEDIUM *, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC **) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC *, DWORD, IAdviseSink *, DWORD *) override { return E_NOTIMPL; }
    STDMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA **) override { return E_NOTIMPL; }
};

void PutClipboard(const char *text)
{
    if (!OpenClipboard(gOwner))
        return;
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, strlen(text) + 1);
    memcpy(GlobalLock(block), text, strlen(text) + 1);
    GlobalUnlock(block);
    SetClipboardData(CF_TEXT, block);
    CloseClipboard();
}

std::string GetClipboard()
{
    std::string text = "<cannot open>";
    if (!OpenClipboard(gOwner))
        return text;
    HANDLE data = GetClipboardData(CF_TEXT);
    text = "<no text>";
    if (data != nullptr) {
        text = static_cast<const char *>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

HRESULT Invoke(IContextMenu *menu, const char *verb)
{
    CMINVOKECOMMANDINFO info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.lpVerb = verb;
    info.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&info);
}

// Closes the confirmation box once it shows its text, and keeps the text.
char gBoxText[512];
DWORD WINAPI AnswerConfirmation(void *)
{
    for (int i = 0; i < 400; i++) {
        HWND box = FindWindowA("#32770", "Scrivlet Shell Extension 1.05");
        if (box != nullptr && GetDlgItemTextA(box, 0xFFFF, gBoxText, sizeof(gBoxText)) > 0 &&
            IsWindowVisible(box)) {
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(50);
    }
    return 1;
}

// A page above 4 GiB whose address has its bits 0..31 clear, as a string
// pointer of a 64-bit caller can be.
char *HighStringPage()
{
    for (unsigned long long base = 0x100000000ull; base <= 0x7f00000000ull; base += 0x100000000ull) {
        void *p = VirtualAlloc(reinterpret_cast<void *>(base), 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (p == reinterpret_cast<void *>(base))
            return static_cast<char *>(p);
        if (p != nullptr)
            VirtualFree(p, 0, MEM_RELEASE);
    }
    return nullptr;
}

void SetShift(bool down)
{
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = down ? 0x80 : 0;
    keys[VK_LSHIFT] = down ? 0x80 : 0;
    SetKeyboardState(keys);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        printf("usage: scrivlet_com_test PATH-OF-Scrivlet.dll\n");
        return 100;
    }
    CoInitialize(nullptr);
    gOwner = CreateWindowA("STATIC", "owner", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HMODULE dll = LoadLibraryA(argv[1]);
    if (dll == nullptr) {
        printf("cannot load %s: %lu\n", argv[1], GetLastError());
        return 100;
    }
    // By ordinal, as the loader's table says: 1 and 2.
    auto getClassObject = reinterpret_cast<HRESULT(WINAPI *)(REFCLSID, REFIID, void **)>(
        reinterpret_cast<void *>(GetProcAddress(dll, MAKEINTRESOURCEA(1))));
    auto canUnloadNow = reinterpret_cast<HRESULT(WINAPI *)()>(
        reinterpret_cast<void *>(GetProcAddress(dll, MAKEINTRESOURCEA(2))));
    CHECK(getClassObject == reinterpret_cast<decltype(getClassObject)>(
                                reinterpret_cast<void *>(GetProcAddress(dll, "DllGetClassObject"))));
    CHECK(canUnloadNow == reinterpret_cast<decltype(canUnloadNow)>(
                              reinterpret_cast<void *>(GetProcAddress(dll, "DllCanUnloadNow"))));
    if (getClassObject == nullptr || canUnloadNow == nullptr)
        return 100;

    // The class object: one class only, and a failed query leaves nothing alive.
    void *p = &p;
    CHECK_EQ_HR(getClassObject(CLSID_ShellLink, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    CHECK(p == nullptr);
    CHECK_EQ_HR(getClassObject(kScrivlet, IID_IContextMenu, &p), E_NOINTERFACE);
    CHECK_EQ_HR(canUnloadNow(), S_OK);
    IClassFactory *factory = nullptr;
    CHECK_EQ_HR(getClassObject(kScrivlet, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
    if (factory == nullptr)
        return 100;
    CHECK_EQ_HR(canUnloadNow(), S_FALSE);
    CHECK_EQ_HR(factory->LockServer(TRUE), E_NOTIMPL);
    CHECK_EQ_HR(factory->CreateInstance(factory, IID_IShellExtInit, &p), CLASS_E_NOAGGREGATION);

    // Two selected items: Initialize fails, and the medium is released.
    IShellExtInit *init = nullptr;
    CHECK_EQ_HR(factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void **>(&init)), S_OK);
    if (init == nullptr)
        return 100;
    Selection two({kPath, "C:\\windows\\system.ini"});
    CHECK_EQ_HR(init->Initialize(nullptr, &two, nullptr), E_FAIL);
    CHECK(two.owner.releases == 1);
    CHECK(two.asked.cfFormat == CF_HDROP && two.asked.dwAspect == DVASPECT_CONTENT &&
          two.asked.lindex == -1 && two.asked.tymed == TYMED_HGLOBAL);
    CHECK_EQ_HR(init->Initialize(nullptr, nullptr, nullptr), E_FAIL);

    // A path of MAX_PATH characters or more is refused, not cut to another name.
    Selection longest({"C:\\" + std::string(MAX_PATH - 4, 'a')});
    CHECK_EQ_HR(init->Initialize(nullptr, &longest, nullptr), S_OK);
    Selection tooLong({"C:\\" + std::string(MAX_PATH - 3, 'a')});
    CHECK_EQ_HR(init->Initialize(nullptr, &tooLong, nullptr), E_FAIL);
    CHECK(tooLong.owner.releases == 1);

    // One item: Initialize keeps its path; the menu gets one item at the given position.
    Selection one({kPath});
    CHECK_EQ_HR(init->Initialize(nullptr, &one, nullptr), S_OK);
    CHECK(one.owner.releases == 1);
    IContextMenu *menu = nullptr;
    CHECK_EQ_HR(init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&menu)), S_OK);
    CHECK_EQ_HR(init->QueryInterface(IID_IDataObject, &p), E_NOINTERFACE);
    CHECK(init->Release() == 1);
    if (menu == nullptr)
        return 100;
    HMENU popup = CreatePopupMenu();
    AppendMenuA(popup, MF_STRING, 1, "Open");
    AppendMenuA(popup, MF_STRING, 2, "Properties");
    CHECK_EQ_HR(menu->QueryContextMenu(popup, 1, 100, 199, CMF_NORMAL), 1);
    char item[64] = "";
    GetMenuStringA(popup, 1, item, sizeof(item), MF_BYPOSITION);
    CHECK(strcmp(item, "Copy Pathname to Clipboard") == 0);
    CHECK(GetMenuItemID(popup, 1) == 100 && GetMenuItemCount(popup) == 3);
    DestroyMenu(popup);

    // The command, by verb and by offset; a stranger's verb and offset copy
    // nothing, also a verb string whose address has bits 16..31 clear.
    char *highVerb = HighStringPage();
    CHECK(highVerb != nullptr);
    if (highVerb != nullptr)
        strcpy(highVerb, "ScrivletToClipboardX");
    struct { const char *verb; HRESULT hr; bool copies; } invocations[] = {
        {"ScrivletToClipboardX", S_OK, false},
        {"ScrivletToClipboard", S_OK, true},
        {MAKEINTRESOURCEA(1), E_INVALIDARG, false},
        {MAKEINTRESOURCEA(0), S_OK, true},
        {highVerb != nullptr ? highVerb : "ScrivletToClipboardX", S_OK, false},
    };
    for (const auto &inv : invocations) {
        PutClipboard(kUntouched);
        CHECK_EQ_HR(Invoke(menu, inv.verb), inv.hr);
        std::string got = GetClipboard();
        if (got != (inv.copies ? kPath : kUntouched)) {
            printf("FAILED: verb %p left \"%s\" on the clipboard\n", static_cast<const void *>(inv.verb),
                   got.c_str());
            gFailures++;
        }
    }

    // Shift held: the path is copied and confirmed in a box.
    PutClipboard(kUntouched);
    SetShift(true);
    HANDLE answer = CreateThread(nullptr, 0, AnswerConfirmation, nullptr, 0, nullptr);
    CHECK_EQ_HR(Invoke(menu, "ScrivletToClipboard"), S_OK);
    SetShift(false);
    WaitForSingleObject(answer, 15000);
    CloseHandle(answer);
    CHECK(GetClipboard() == kPath);
    CHECK(strcmp(gBoxText, "You selected:  C:\\windows\\win.ini") == 0);

    // The three forms of the command string, cut to the buffer.
    char buffer[128];
    memset(buffer, 'x', sizeof(buffer));
    CHECK_EQ_HR(menu->GetCommandString(1, GCS_VERBA, nullptr, buffer, 16), E_INVALIDARG);
    CHECK(buffer[0] == 0 && buffer[15] == 0 && buffer[16] == 'x');
    CHECK_EQ_HR(menu->GetCommandString(0, GCS_VERBA, nullptr, nullptr, 16), E_INVALIDARG);
    CHECK_EQ_HR(menu->GetCommandString(0, GCS_VERBA, nullptr, buffer, sizeof(buffer)), S_OK);
    CHECK(strcmp(buffer, "ScrivletToClipboard") == 0);
    CHECK_EQ_HR(menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, buffer, sizeof(buffer)), S_OK);
    CHECK(strcmp(buffer, "Copies only the pathname to the clipboard.") == 0);
    CHECK_EQ_HR(menu->GetCommandString(0, GCS_HELPTEXTW, nullptr, buffer, sizeof(buffer) / 2), S_OK);
    CHECK(wcscmp(reinterpret_cast<wchar_t *>(buffer), L"Copies only the pathname to the clipboard.") == 0);
    memset(buffer, 'x', sizeof(buffer));
    CHECK_EQ_HR(menu->GetCommandString(0, GCS_VERBA, nullptr, buffer, 9), S_OK);
    CHECK(strcmp(buffer, "Scrivlet") == 0);

    // Unloading waits for the last object: the extension, then the factory.
    CHECK_EQ_HR(canUnloadNow(), S_FALSE);
    CHECK(menu->Release() == 0);
    CHECK_EQ_HR(canUnloadNow(), S_FALSE);
    CHECK(factory->Release() == 0);
    CHECK_EQ_HR(canUnloadNow(), S_OK);

    DestroyWindow(gOwner);
    printf("%d failed checks\n", gFailures);
    return gFailures;
}
