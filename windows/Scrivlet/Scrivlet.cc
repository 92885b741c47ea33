// Scrivlet.dll: an Explorer context-menu handler that adds "Copy Pathname to
// Clipboard" for a single selected file or folder and puts its full path on
// the clipboard as ANSI text.  An in-process COM server with one class.
#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// {A1A6E1DC-54E4-11D1-A843-00104B2CE300}
constexpr CLSID kClassId = {0xa1a6e1dc, 0x54e4, 0x11d1, {0xa8, 0x43, 0x00, 0x10, 0x4b, 0x2c, 0xe3, 0x00}};

constexpr char kVerb[] = "ScrivletToClipboard";
constexpr char kHelpText[] = "Copies only the pathname to the clipboard.";
constexpr wchar_t kHelpTextW[] = L"Copies only the pathname to the clipboard.";

HINSTANCE gModule;
LONG gLiveObjects;                       // class factories and extension objects

// ---- the extension object --------------------------------------------------------

// IContextMenu first, IShellExtInit second: a caller holding the second
// interface holds a pointer one table into the object.
class PathCopier final : public IContextMenu, public IShellExtInit {
  public:
    PathCopier() { InterlockedIncrement(&gLiveObjects); }
    ~PathCopier() { InterlockedDecrement(&gLiveObjects); }
    PathCopier(const PathCopier &) = delete;
    PathCopier &operator=(const PathCopier &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT firstId, UINT lastId, UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO *info) override;
    STDMETHODIMP GetCommandString(UINT_PTR id, UINT flags, UINT *reserved, CHAR *buffer,
                                  UINT size) override;

    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject *data, HKEY key) override;

  private:
    void CopyToClipboard();

    LONG refs_ = 1;
    char path_[MAX_PATH] = "";
};

STDMETHODIMP PathCopier::QueryInterface(REFIID iid, void **out)
{
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IContextMenu)) {
        *out = static_cast<IContextMenu *>(this);
    } else if (IsEqualIID(iid, IID_IShellExtInit)) {
        *out = static_cast<IShellExtInit *>(this);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) PathCopier::Release()
{
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP PathCopier::Initialize(PCIDLIST_ABSOLUTE, IDataObject *data, HKEY)
{
    if (data == nullptr)
        return E_FAIL;
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium;
    if (FAILED(data->GetData(&format, &medium)))
        return E_FAIL;
    path_[0] = '\0';
    HRESULT hr = E_FAIL;
    HDROP drop = static_cast<HDROP>(medium.hGlobal);
    // One item only, and only a path that fits whole: a cut one would name
    // another file.
    if (DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0) == 1 &&
        DragQueryFileA(drop, 0, nullptr, 0) < sizeof(path_) &&
        DragQueryFileA(drop, 0, path_, sizeof(path_)) > 0)
        hr = S_OK;
    ReleaseStgMedium(&medium);
    return hr;
}

STDMETHODIMP PathCopier::QueryContextMenu(HMENU menu, UINT index, UINT firstId, UINT, UINT)
{
    InsertMenuA(menu, index, MF_BYPOSITION | MF_STRING, firstId, "Copy Pathname to Clipboard");
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);    // one item added
}

STDMETHODIMP PathCopier::InvokeCommand(CMINVOKECOMMANDINFO *info)
{
    // A verb is a string unless all its bits above the low 16 are clear: a
    // 64-bit pointer may have bits 16..31 clear and still be a string.
    if (!IS_INTRESOURCE(info->lpVerb)) {
        if (strcmp(info->lpVerb, kVerb) != 0)
            return S_OK;                // another handler's verb
    } else if (LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) != 0) {
        return E_INVALIDARG;
    }
    if (path_[0] == '\0')
        return E_FAIL;                  // no selection was taken
    CopyToClipboard();
    return S_OK;
}

// A clipboard that cannot be opened or a failed allocation leaves it as it was.
void PathCopier::CopyToClipboard()
{
    if (!OpenClipboard(nullptr))
        return;
    bool handedOver = false;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, MAX_PATH + 1);
    if (block != nullptr) {
        char *text = static_cast<char *>(GlobalLock(block));
        if (text != nullptr) {
            lstrcpynA(text, path_, MAX_PATH + 1);
            GlobalUnlock(block);
            EmptyClipboard();
            handedOver = SetClipboardData(CF_TEXT, block) != nullptr;
        }
        if (!handedOver)
            GlobalFree(block);
    }
    CloseClipboard();
    if (handedOver && GetKeyState(VK_SHIFT) < 0) {
        char message[MAX_PATH + 32];
        snprintf(message, sizeof(message), "You selected:  %s", path_);
        MessageBoxA(nullptr, message, "Scrivlet Shell Extension 1.05", MB_OK | MB_ICONINFORMATION);
    }
}

STDMETHODIMP PathCopier::GetCommandString(UINT_PTR id, UINT flags, UINT *, CHAR *buffer, UINT size)
{
    if (buffer == nullptr)
        return E_INVALIDARG;
    memset(buffer, 0, size);
    if (id != 0)
        return E_INVALIDARG;
    if (size == 0)
        return S_OK;
    if ((flags & GCS_HELPTEXTA) == 0)                                   // bit 0 clear: the verb
        lstrcpynA(buffer, kVerb, static_cast<int>(size));
    else if ((flags & GCS_HELPTEXTW) == GCS_HELPTEXTW)                  // bits 0 and 2: wide
        lstrcpynW(reinterpret_cast<wchar_t *>(buffer), kHelpTextW, static_cast<int>(size));
    else
        lstrcpynA(buffer, kHelpText, static_cast<int>(size));
    return S_OK;
}

// ---- the class factory ---------------------------------------------------------

class Factory final : public IClassFactory {
  public:
    Factory() { InterlockedIncrement(&gLiveObjects); }
    ~Factory() { InterlockedDecrement(&gLiveObjects); }
    Factory(const Factory &) = delete;
    Factory &operator=(const Factory &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        if (IsEqualIID(iid, IID_IClassFactory) || IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        PathCopier *object = new (std::nothrow) PathCopier;
        if (object == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();              // a failed query destroys it
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return E_NOTIMPL; }

  private:
    LONG refs_ = 1;
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        gModule = module;
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **out)
{
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClassId))
        return CLASS_E_CLASSNOTAVAILABLE;
    Factory *factory = new (std::nothrow) Factory;
    if (factory == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return gLiveObjects == 0 ? S_OK : S_FALSE;
}
