// Vantrel.exe: watches one host with ICMP echo requests and shows in the
// notification area whether it answers, with the round-trip times and loss
// of the current ten-minute window in the icon's tip.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "echo.h"
#include "pingstats.h"
#include "resource.h"

namespace {

constexpr int kHostSize = 64;            // 63 characters and the NUL
constexpr DWORD kDefaultPeriod = 30;
constexpr DWORD kMinPeriod = 5;
constexpr UINT kTrayId = 101;
constexpr UINT kTrayMessage = 1035;
constexpr UINT_PTR kTimerId = 1;
constexpr unsigned short kDefaultPort = 27910;   // kept in the address; ICMP has no port

HINSTANCE gInstance;
HWND gWnd;
char gClassName[16];
char gRegKey[64];
char gHost[kHostSize];
DWORD gPeriod = kDefaultPeriod;
sockaddr_in gTarget;
bool gHaveAddress;
SOCKET gSocket = INVALID_SOCKET;
unsigned short gSequence;
PingStats gStats;
int gTicks;
bool gPingNow;
int gAutoHide = 5;
bool gPinging;
bool gTrayPresent;
HICON gIconAnswering;
HICON gIconSilent;
HFONT gFontFixed;
HFONT gFontText;
HFONT gFontBold;
RECT gWindowRect;
UINT gTaskbarCreated;                    // broadcast when the shell's task bar (re)starts

// Every error: a box with the program's caption and an information icon.
void Message(const char *format, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    MessageBoxA(gWnd, text, "Vantrel", MB_OK | MB_ICONINFORMATION);
}

// ---- settings ----------------------------------------------------------------

void LoadSettings()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, gRegKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    char host[kHostSize];
    DWORD type, size = sizeof(host);
    if (RegQueryValueExA(key, "ServerName", nullptr, &type, reinterpret_cast<BYTE *>(host), &size) ==
            ERROR_SUCCESS && type == REG_SZ) {
        host[sizeof(host) - 1] = '\0';
        lstrcpynA(gHost, host, sizeof(gHost));
    }
    DWORD period;
    size = sizeof(period);
    if (RegQueryValueExA(key, "Refresh", nullptr, &type, reinterpret_cast<BYTE *>(&period), &size) ==
            ERROR_SUCCESS && type == REG_DWORD)
        gPeriod = period < kMinPeriod ? kMinPeriod : period;
    RegCloseKey(key);
}

void StoreSettings()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, gRegKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "ServerName", 0, REG_SZ, reinterpret_cast<const BYTE *>(gHost),
                   static_cast<DWORD>(strlen(gHost) + 1));
    RegSetValueExA(key, "Refresh", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&gPeriod),
                   sizeof(gPeriod));
    RegCloseKey(key);
}

void StoreWindowPosition()
{
    if (gWindowRect.left <= 0 || gWindowRect.top <= 0)
        return;
    char text[64];
    snprintf(text, sizeof(text), "%d %d %d %d", static_cast<int>(gWindowRect.left),
             static_cast<int>(gWindowRect.top), static_cast<int>(gWindowRect.right - gWindowRect.left),
             static_cast<int>(gWindowRect.bottom - gWindowRect.top));
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, gRegKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "WindowPosition", 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   static_cast<DWORD>(strlen(text) + 1));
    RegCloseKey(key);
}

// Centred horizontally at a third of the height, unless a stored position lies on the screen.
void InitialWindowRect()
{
    int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    int left = 0, top = 0, width = 400, height = 550;
    if (screenW > 100 && screenH > 100) {
        left = (screenW - width) / 2;
        top = screenH / 3;
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, gRegKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        char text[64] = "";
        DWORD type, size = sizeof(text) - 1;
        int l, t, w, h;
        if (RegQueryValueExA(key, "WindowPosition", nullptr, &type, reinterpret_cast<BYTE *>(text),
                             &size) == ERROR_SUCCESS && type == REG_SZ &&
            sscanf(text, "%d %d %d %d", &l, &t, &w, &h) == 4 && l >= 0 && t >= 0 && l < screenW &&
            t < screenH) {
            left = l;
            top = t;
            width = w;
            height = h;
        }
        RegCloseKey(key);
    }
    gWindowRect = {left, top, left + width, top + height};
}

// ---- the target ----------------------------------------------------------------

// "port@host", "host:port" or a bare host; a dotted address or a name.
int ResolveHost(const char *text, sockaddr_in *addr)
{
    char host[kHostSize];
    unsigned short port = kDefaultPort;
    const char *at = strchr(text, '@');
    const char *colon = strchr(text, ':');
    if (at != nullptr) {
        port = static_cast<unsigned short>(atoi(text));
        lstrcpynA(host, at + 1, sizeof(host));
    } else {
        lstrcpynA(host, text, sizeof(host));
        if (colon != nullptr) {
            host[colon - text < kHostSize ? colon - text : kHostSize - 1] = '\0';
            port = static_cast<unsigned short>(atoi(colon + 1));
        }
    }
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    unsigned long ip = inet_addr(host);
    if (ip != INADDR_NONE) {
        addr->sin_addr.s_addr = ip;
        return 0;
    }
    hostent *h = gethostbyname(host);
    if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4) {
        fprintf(stderr, "Unknown host: %s\n", host);
        return -1;
    }
    memcpy(&addr->sin_addr, h->h_addr_list[0], 4);
    return 0;
}

void CloseRawSocket()
{
    if (gSocket != INVALID_SOCKET) {
        closesocket(gSocket);
        gSocket = INVALID_SOCKET;
    }
}

// ---- one ping ------------------------------------------------------------------

// Waits for the reply to the request sent at tick `sent`: its round-trip
// time, or -1.  Five seconds at most, and no more than one after the last
// stranger's datagram: a stream of other ICMP traffic ends the wait too.
int AwaitReply(DWORD sent)
{
    constexpr DWORD kReplyWaitMs = 5000, kAfterStrangerMs = 1000;
    uint8_t source[4];
    memcpy(source, &gTarget.sin_addr, 4);
    uint16_t identifier = static_cast<uint16_t>(GetCurrentProcessId());
    DWORD deadline = sent + kReplyWaitMs;
    for (;;) {
        const LONG left = static_cast<LONG>(deadline - GetTickCount());
        if (left <= 0)
            return -1;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(gSocket, &readable);
        timeval tv = {left / 1000, (left % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0)
            return -1;
        uint8_t datagram[kMaxDatagram];
        int n = recv(gSocket, reinterpret_cast<char *>(datagram), sizeof(datagram), 0);
        if (n == SOCKET_ERROR)
            return -1;
        uint32_t sendTime;
        if (MatchEchoReply(datagram, static_cast<size_t>(n), source, identifier, gSequence,
                           &sendTime) == 0)
            return static_cast<int>(GetTickCount() - sendTime);
        const DWORD strangerEnd = GetTickCount() + kAfterStrangerMs;   // a second more,
        deadline = sent + kReplyWaitMs;                                 // within the five
        if (static_cast<LONG>(strangerEnd - deadline) < 0)
            deadline = strangerEnd;
    }
}

void Ping()
{
    if (gPinging || !gHaveAddress)
        return;
    gPinging = true;
    if (gSocket == INVALID_SOCKET) {
        gSocket = WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, 0);
        if (gSocket == INVALID_SOCKET) {
            Message("Do you have Winsock2?  WSASocket() failed: %d", WSAGetLastError());
            gPinging = false;
            return;
        }
    }
    CountRequest(&gStats, GetTickCount());
    uint8_t packet[kEchoSize];
    gSequence++;
    const DWORD sent = GetTickCount();
    BuildEchoRequest(packet, static_cast<uint16_t>(GetCurrentProcessId()), gSequence, sent);
    int rtt = -1;
    if (sendto(gSocket, reinterpret_cast<const char *>(packet), sizeof(packet), 0,
               reinterpret_cast<const sockaddr *>(&gTarget), sizeof(gTarget)) != SOCKET_ERROR)
        rtt = AwaitReply(sent);
    if (RecordOutcome(&gStats, rtt))
        CloseRawSocket();               // the run is over: reopened at the next ping
    else
        gPingNow = true;                // still in a run: ping again at the next tick
    gPinging = false;
}

// ---- the tray icon -------------------------------------------------------------

void TrayIcon(DWORD action)
{
    NOTIFYICONDATAA nid;
    memset(&nid, 0, sizeof(nid));
    nid.cbSize = sizeof(nid);
    nid.hWnd = gWnd;
    nid.uID = kTrayId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = kTrayMessage;
    nid.hIcon = gStats.reachable ? gIconAnswering : gIconSilent;
    char tip[kTipSize];
    FormatTip(tip, gStats, gHost);
    lstrcpynA(nid.szTip, tip, kTipSize);
    if (Shell_NotifyIconA(action, &nid) && action == NIM_ADD)
        gTrayPresent = true;
}

void AddTrayIcon()
{
    NOTIFYICONDATAA nid;
    memset(&nid, 0, sizeof(nid));
    nid.cbSize = sizeof(nid);
    nid.hWnd = gWnd;
    nid.uID = kTrayId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = kTrayMessage;
    nid.hIcon = gIconAnswering;
    lstrcpynA(nid.szTip, "Vantrel", kTipSize);
    gTrayPresent = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE;
}

void DeleteTrayIcon()
{
    NOTIFYICONDATAA nid;
    memset(&nid, 0, sizeof(nid));
    nid.cbSize = sizeof(nid);
    nid.hWnd = gWnd;
    nid.uID = kTrayId;
    Shell_NotifyIconA(NIM_DELETE, &nid);
    gTrayPresent = false;
}

// The icon shows the reachability, the tip the window's figures.
void ShowStatus()
{
    TrayIcon(gTrayPresent ? NIM_MODIFY : NIM_ADD);
    InvalidateRect(gWnd, nullptr, TRUE);
}

void ShowMenu(int id, bool fromTray)
{
    HMENU menu = LoadMenuA(gInstance, MAKEINTRESOURCEA(id));
    if (menu == nullptr)
        return;
    HMENU popup = GetSubMenu(menu, 0);
    POINT pt;
    GetCursorPos(&pt);
    if (fromTray) {
        SetMenuDefaultItem(popup, 0, TRUE);
        SetForegroundWindow(gWnd);
    }
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, pt.x, pt.y, 0, gWnd, nullptr);
    if (fromTray)
        PostMessageA(gWnd, WM_USER, 0, 0);
    DestroyMenu(menu);
}

// ---- dialogs -------------------------------------------------------------------

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wp, LPARAM)
{
    if (msg == WM_INITDIALOG)
        return TRUE;
    if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
        EndDialog(dlg, LOWORD(wp));
        return TRUE;
    }
    return FALSE;
}

void ApplyConfiguration(HWND dlg)
{
    char host[kHostSize];
    GetDlgItemTextA(dlg, IDC_HOST, host, sizeof(host));
    BOOL ok;
    UINT period = GetDlgItemInt(dlg, IDC_PERIOD, &ok, FALSE);
    gPeriod = period < kMinPeriod ? kMinPeriod : period;
    if (strcmp(host, gHost) != 0) {
        lstrcpynA(gHost, host, sizeof(gHost));
        CloseRawSocket();
        StartStats(&gStats, GetTickCount());
        gHaveAddress = false;
        if (gHost[0] != '\0') {
            if (ResolveHost(gHost, &gTarget) == 0)
                gHaveAddress = true;
            else
                Message("Could not get resolve the IP address for \"%s\".", gHost);
        }
    }
    gPingNow = true;
    StoreSettings();
}

INT_PTR CALLBACK ConfigureProc(HWND dlg, UINT msg, WPARAM wp, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        SendDlgItemMessageA(dlg, IDC_HOST, EM_LIMITTEXT, kHostSize - 1, 0);
        SetDlgItemTextA(dlg, IDC_HOST, gHost);
        SetDlgItemInt(dlg, IDC_PERIOD, gPeriod, FALSE);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK) {
            ApplyConfiguration(dlg);
            EndDialog(dlg, IDOK);
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL) {
            EndDialog(dlg, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// ---- the window ----------------------------------------------------------------

void OnTimer()
{
    gTicks++;
    if (gTicks % static_cast<int>(gPeriod) == static_cast<int>(gPeriod) - 1 || gPingNow) {
        gPingNow = false;
        Ping();
    }
    ShowStatus();                       // the icon follows the reachability, the tip the figures
    if (gTicks == 5 && gHost[0] == '\0')
        DialogBoxA(gInstance, MAKEINTRESOURCEA(IDD_CONFIGURE), gWnd, ConfigureProc);
    if (gTicks == gAutoHide) {
        ShowWindow(gWnd, SW_HIDE);
        if (!gTrayPresent)
            AddTrayIcon();
    }
}

void OnPaint(HWND wnd)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(wnd, &ps);
    RECT rc;
    GetClientRect(wnd, &rc);
    FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (gHost[0] == '\0') {
        HGDIOBJ old = SelectObject(dc, gFontBold);
        InflateRect(&rc, -10, -10);
        DrawTextA(dc, "Select a host to poll by right clicking the tray icon menu and selecting \"Configure\".",
                  -1, &rc, DT_WORDBREAK);
        SelectObject(dc, old);
    }
    EndPaint(wnd, &ps);
}

void OnCommand(HWND wnd, int id)
{
    switch (id) {
    case IDM_ABOUT:
        DialogBoxA(gInstance, MAKEINTRESOURCEA(IDD_ABOUT), wnd, AboutProc);
        break;
    case IDM_EXIT:
        DestroyWindow(wnd);
        break;
    case IDM_CONFIGURE:
        DialogBoxA(gInstance, MAKEINTRESOURCEA(IDD_CONFIGURE), wnd, ConfigureProc);
        break;
    case IDM_REFRESH:
        gPingNow = true;
        break;
    case IDM_SHOW:
        ShowWindow(wnd, SW_RESTORE);
        SetForegroundWindow(wnd);
        break;
    }
}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == gTaskbarCreated && msg != 0) {
        gTrayPresent = false;           // a new shell knows no icon of ours
        ShowStatus();
        return 0;
    }
    switch (msg) {
    case WM_TIMER:
        OnTimer();
        return 0;
    case WM_PAINT:
        OnPaint(wnd);
        return 0;
    case WM_COMMAND:
        OnCommand(wnd, LOWORD(wp));
        return 0;
    case WM_SYSCOMMAND:
        if (LOWORD(wp) == IDM_ABOUT || LOWORD(wp) == IDM_CONFIGURE) {
            OnCommand(wnd, LOWORD(wp));
            return 0;
        }
        break;
    case WM_SIZE:
        if (wp == SIZE_MINIMIZED)
            ShowWindow(wnd, SW_HIDE);
        else if (wp == SIZE_RESTORED)
            GetWindowRect(wnd, &gWindowRect);   // a new size without a move is kept too
        return 0;
    case WM_MOVE:
        if (!IsIconic(wnd)) {
            GetWindowRect(wnd, &gWindowRect);
            if (IsWindowVisible(wnd))
                gAutoHide = 0;
        }
        return 0;
    case WM_LBUTTONDOWN:
        gAutoHide = 0;
        return 0;
    case WM_RBUTTONUP:
        ShowMenu(IDM_WINDOW, false);
        return 0;
    case kTrayMessage:
        if (wp == kTrayId) {
            if (lp == WM_RBUTTONUP) {
                ShowMenu(IDM_TRAY, true);
            } else if (lp == WM_LBUTTONDBLCLK) {
                HMENU menu = LoadMenuA(gInstance, MAKEINTRESOURCEA(IDM_TRAY));
                UINT first = GetMenuItemID(GetSubMenu(menu, 0), 0);
                DestroyMenu(menu);
                SendMessageA(wnd, WM_COMMAND, first, 0);
            }
        }
        return 0;
    case WM_DESTROY:
        KillTimer(wnd, kTimerId);
        StoreWindowPosition();
        CloseRawSocket();
        WSACleanup();
        DeleteTrayIcon();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(wnd, msg, wp, lp);
}

// The first free class name "Vantrel00" .. "Vantrel99"; its number names the settings too.
int PickClassName()
{
    for (int i = 0; i < 100; i++) {
        snprintf(gClassName, sizeof(gClassName), "Vantrel%02d", i);
        if (FindWindowA(gClassName, nullptr) == nullptr) {
            snprintf(gRegKey, sizeof(gRegKey), "Software\\Vantrel\\%s",
                     gClassName[0] != '\0' ? gClassName : "default");
            return 0;
        }
    }
    return -1;
}

// "<server> [<refresh_delay_seconds>]" over the stored settings.
int ReadCommandLine()
{
    if (__argc < 2)
        return 0;
    const char *server = __argv[1];
    if (server[0] == '/' || server[0] == '-') {
        Message("Usage: Vantrel.exe <server> [<refresh_delay_seconds>]");
        return -1;
    }
    lstrcpynA(gHost, server, sizeof(gHost));
    if (__argc > 2) {
        int period = atoi(__argv[2]);
        gPeriod = period < static_cast<int>(kMinPeriod) ? kMinPeriod : static_cast<DWORD>(period);
    }
    return 0;
}

void AddSystemMenuItems()
{
    HMENU sys = GetSystemMenu(gWnd, FALSE);
    AppendMenuA(sys, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(sys, MF_STRING, IDM_CONFIGURE, "&Configure...");
    AppendMenuA(sys, MF_STRING, IDM_ABOUT, "&About...");
}

HFONT Font(int points, int weight, const char *face)
{
    HDC dc = GetDC(nullptr);
    int height = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(nullptr, dc);
    return CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, face);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    gInstance = instance;
    if (PickClassName() != 0)
        return 1;                       // a hundred instances run already
    InitialWindowRect();

    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VANTREL));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));   // IDC_ARROW
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = gClassName;
    if (RegisterClassA(&wc) == 0)
        return 1;
    gTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    gWnd = CreateWindowA(gClassName, "Vantrel", WS_OVERLAPPEDWINDOW, gWindowRect.left,
                         gWindowRect.top, gWindowRect.right - gWindowRect.left,
                         gWindowRect.bottom - gWindowRect.top, nullptr, nullptr, instance, nullptr);
    if (gWnd == nullptr)
        return 1;
    AddSystemMenuItems();
    SetTimer(gWnd, kTimerId, 1000, nullptr);

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        Message("Winsock could not be initialized.  Please be sure you have at least version 2 of Winsock installed.");
        return 1;
    }
    gIconAnswering = LoadIconA(instance, MAKEINTRESOURCEA(IDI_ANSWERING));
    gIconSilent = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SILENT));
    StartStats(&gStats, GetTickCount());
    AddTrayIcon();
    LoadSettings();
    if (ReadCommandLine() != 0) {
        DestroyWindow(gWnd);
        return 0;
    }
    if (gHost[0] != '\0') {
        if (ResolveHost(gHost, &gTarget) == 0)
            gHaveAddress = true;
        else
            Message("Invalid server address from saved settings.  Please configure a valid address.");
        Ping();
        ShowStatus();
    } else {
        gAutoHide = -1;
    }
    gFontFixed = Font(10, FW_NORMAL, "Courier New");
    gFontText = Font(12, FW_NORMAL, "Times New Roman");
    gFontBold = Font(12, FW_BOLD, "Times New Roman");
    ShowWindow(gWnd, SW_HIDE);

    HACCEL accel = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCEL));
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorA(gWnd, accel, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    DeleteObject(gFontFixed);
    DeleteObject(gFontText);
    DeleteObject(gFontBold);
    return 0;
}
