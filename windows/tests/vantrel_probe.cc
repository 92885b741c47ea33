// Runs Vantrel.exe and watches it from outside as the shell would: it plays
// the notification area (the window "Shell_TrayWnd" the icons are sent to,
// as WM_COPYDATA), fills in the Preferences dialog like a user, and counts the
// echo requests on the wire.  Prints what it saw, one fact a line; exits 1 if
// something awaited never came.
//
//   vantrel_probe configure VANTREL   no host: answer the dialog with 127.0.0.1 and 2 seconds
//   vantrel_probe silent VANTREL      ping 127.0.0.1 every 30 s, which does not answer here
//   vantrel_probe second VANTREL      two instances side by side
//   vantrel_probe flood VANTREL       ping 127.0.0.1 (silent) while other ICMP traffic streams in
//   vantrel_probe shell VANTREL       resize and minimise the window, then restart the shell
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "../Vantrel/echo.h"

namespace {

constexpr DWORD kWaitMs = 30000;

// What the notification area holds for the last icon sent to it.
char gTip[128];
const char *gIcon = "none";
int gAdds;                               // NIM_ADD messages received
HWND gTray;
DWORD gStart;

// Answering is drawn green, not answering red: the dominant colour says which.
const char *IconKind(const unsigned char *bgra, size_t pixels)
{
    int green = 0, red = 0;
    for (size_t i = 0; i < pixels; i++) {
        const unsigned char *p = bgra + 4 * i;
        if (p[3] == 0)
            continue;
        if (p[1] > p[2] + 60)
            green++;
        else if (p[2] > p[1] + 60)
            red++;
    }
    return green > 100 && red == 0 ? "answering" : red > 100 && green == 0 ? "silent" : "other";
}

// The shell's message: the icon's window, id, flags, callback message and
// tip (UTF-16) first, the icon's bits last (32x32, 32 bits per pixel here).
LRESULT CALLBACK TrayProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg != WM_COPYDATA)
        return DefWindowProcA(wnd, msg, wp, lp);
    const auto *cds = reinterpret_cast<const COPYDATASTRUCT *>(lp);
    const auto *data = static_cast<const unsigned char *>(cds->lpData);
    constexpr size_t kColourBits = 32 * 32 * 4;
    if (cds->dwData == NIM_DELETE) {
        gIcon = "deleted";
        return TRUE;
    }
    if (cds->dwData == NIM_ADD)
        gAdds++;
    if (cds->cbData < 16 + 2 * 128 + kColourBits)
        return FALSE;
    UINT id, flags, callback;
    memcpy(&id, data + 4, 4);
    memcpy(&flags, data + 8, 4);
    memcpy(&callback, data + 12, 4);
    WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t *>(data + 16), -1, gTip, sizeof(gTip),
                        nullptr, nullptr);
    gIcon = IconKind(data + cds->cbData - kColourBits, 32 * 32);
    static std::string last;
    std::string now = std::string(gTip) + "|" + gIcon;
    if (now != last) {
        printf("%lu ms: tray id %u flags %u callback %u icon %s tip \"%s\"\n",
               GetTickCount() - gStart, id, flags, callback, gIcon, gTip);
        fflush(stdout);
        last = now;
    }
    return TRUE;
}

// Echo requests of one process, seen on a raw socket of our own.
SOCKET gSniffer = INVALID_SOCKET;
DWORD gWatchedPid;
int gRequests;

void Sniff()
{
    if (gSniffer == INVALID_SOCKET)
        return;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(gSniffer, &readable);
        timeval tv = {0, 0};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0)
            return;
        unsigned char d[1500];
        int n = recv(gSniffer, reinterpret_cast<char *>(d), sizeof(d), 0);
        if (n < 28)
            return;
        const unsigned char *icmp = d + (d[0] & 0x0f) * 4;
        if (icmp[0] == 8 && (icmp[4] << 8 | icmp[5]) == static_cast<int>(gWatchedPid & 0xffff)) {
            gRequests++;
            printf("%lu ms: echo request %d sequence %d\n", GetTickCount() - gStart, gRequests,
                   icmp[6] << 8 | icmp[7]);
            fflush(stdout);
        }
    }
}

// Serves the tray and the sniffer until `done` holds or `ms` have passed.
template <typename Done>
bool WaitFor(const char *what, DWORD ms, Done done)
{
    DWORD end = GetTickCount() + ms;
    while (!done()) {
        if (static_cast<LONG>(GetTickCount() - end) >= 0) {
            printf("timeout waiting for %s\n", what);
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sniff();
    }
    return true;
}

PROCESS_INFORMATION Start(const char *exe, const char *args)
{
    char line[1024];
    snprintf(line, sizeof(line), "\"%s\" %s", exe, args);
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof(pi));
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        printf("cannot start %s: %lu\n", line, GetLastError());
    return pi;
}

bool Stop(const char *className, PROCESS_INFORMATION &pi)
{
    HWND wnd = FindWindowA(className, nullptr);
    if (wnd != nullptr)
        PostMessageA(wnd, WM_CLOSE, 0, 0);
    bool ok = WaitFor("the exit", kWaitMs, [&] { return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; });
    if (!ok)
        TerminateProcess(pi.hProcess, 99);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    printf("%s exit %lu\n", className, code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ok;
}

bool Configure(const char *exe)
{
    PROCESS_INFORMATION pi = Start(exe, "");
    HWND dlg = nullptr;
    bool ok = WaitFor("the Preferences dialog", kWaitMs, [&] {
        dlg = FindWindowA("#32770", "Vantrel Preferences");
        return dlg != nullptr && IsWindowVisible(dlg);
    });
    if (ok) {
        char host[80] = "?", period[16] = "?";
        GetDlgItemTextA(dlg, 1000, host, sizeof(host));
        GetDlgItemTextA(dlg, 1001, period, sizeof(period));
        printf("dialog host \"%s\" period \"%s\"\n", host, period);
        SetDlgItemTextA(dlg, 1000, "127.0.0.1");
        SetDlgItemTextA(dlg, 1001, "2");
        PostMessageA(dlg, WM_COMMAND, IDOK, 0);
        ok = WaitFor("an answer", kWaitMs, [] { return strncmp(gTip, "127.0.0.1: ", 11) == 0; });
    }
    return Stop("Vantrel00", pi) && ok;
}

void OpenSniffer()
{
    gSniffer = WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, 0);
    if (gSniffer == INVALID_SOCKET)
        printf("no raw socket: %d\n", WSAGetLastError());
    sockaddr_in any;
    memset(&any, 0, sizeof(any));
    any.sin_family = AF_INET;
    bind(gSniffer, reinterpret_cast<sockaddr *>(&any), sizeof(any));
}

bool Silent(const char *exe)
{
    OpenSniffer();
    PROCESS_INFORMATION pi = Start(exe, "127.0.0.1 30");
    gWatchedPid = pi.dwProcessId;
    bool ok = WaitFor("five requests", kWaitMs, [] { return gRequests >= 5; });
    // The run is over: the next request waits for the period of 30 seconds.
    WaitFor("nothing", 8000, [] { return false; });
    printf("requests %d\n", gRequests);
    return Stop("Vantrel00", pi) && ok;
}

// A remote host's ICMP traffic that is not the answer: echo requests of
// another identifier to 127.0.0.1 five times a second, which Vantrel's raw
// socket receives too.  Each ping must still end within its few seconds.
bool Flood(const char *exe)
{
    OpenSniffer();
    SOCKET sender = WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, 0);
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    PROCESS_INFORMATION pi = Start(exe, "127.0.0.1 30");
    gWatchedPid = pi.dwProcessId;
    DWORD next = GetTickCount();
    uint16_t sequence = 0;
    bool ok = WaitFor("three requests", 25000, [&] {
        if (static_cast<LONG>(GetTickCount() - next) >= 0) {
            uint8_t packet[kEchoSize];
            BuildEchoRequest(packet, static_cast<uint16_t>(gWatchedPid + 1), ++sequence, GetTickCount());
            sendto(sender, reinterpret_cast<const char *>(packet), sizeof(packet), 0,
                   reinterpret_cast<const sockaddr *>(&to), sizeof(to));
            next = GetTickCount() + 200;
        }
        return gRequests >= 3;
    });
    printf("requests %d\n", gRequests);
    closesocket(sender);
    return Stop("Vantrel00", pi) && ok;
}

HWND NewTray()
{
    return CreateWindowA("Shell_TrayWnd", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// The user gives the window a new size without moving it and minimises it;
// then the shell restarts and announces its new task bar.
bool Shell(const char *exe)
{
    PROCESS_INFORMATION pi = Start(exe, "127.0.0.1");
    HWND wnd = nullptr;
    bool ok = WaitFor("the icon", kWaitMs, [&] {
        wnd = FindWindowA("Vantrel00", nullptr);
        return wnd != nullptr && gAdds > 0;
    });
    if (ok) {
        SetWindowPos(wnd, nullptr, 0, 0, 480, 600, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(wnd, SW_MINIMIZE);
        DestroyWindow(gTray);
        gTray = NewTray();
        const int before = gAdds;
        PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
        ok = WaitFor("the icon in the new task bar", 10000, [&] { return gAdds > before; });
        printf("icon added %d times\n", gAdds);
    }
    return Stop("Vantrel00", pi) && ok;
}

bool Second(const char *exe)
{
    PROCESS_INFORMATION first = Start(exe, "127.0.0.1");
    bool ok = WaitFor("Vantrel00", kWaitMs, [] { return FindWindowA("Vantrel00", nullptr) != nullptr; });
    PROCESS_INFORMATION second = Start(exe, "127.0.0.1");
    ok = ok && WaitFor("Vantrel01", kWaitMs, [] { return FindWindowA("Vantrel01", nullptr) != nullptr; });
    printf("windows%s%s\n", FindWindowA("Vantrel00", nullptr) ? " Vantrel00" : "",
           FindWindowA("Vantrel01", nullptr) ? " Vantrel01" : "");
    ok = Stop("Vantrel01", second) && ok;
    return Stop("Vantrel00", first) && ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        printf("usage: vantrel_probe configure|silent|second|flood|shell VANTREL.EXE\n");
        return 2;
    }
    gStart = GetTickCount();
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = TrayProc;
    wc.lpszClassName = "Shell_TrayWnd";
    RegisterClassA(&wc);
    gTray = NewTray();
    if (gTray == nullptr || FindWindowA("Shell_TrayWnd", nullptr) != gTray) {
        printf("cannot stand in for the notification area\n");
        return 2;
    }
    bool ok = strcmp(argv[1], "configure") == 0 ? Configure(argv[2])
              : strcmp(argv[1], "silent") == 0  ? Silent(argv[2])
              : strcmp(argv[1], "second") == 0  ? Second(argv[2])
              : strcmp(argv[1], "flood") == 0   ? Flood(argv[2])
              : strcmp(argv[1], "shell") == 0   ? Shell(argv[2])
                                                : false;
    printf("final icon %s tip \"%s\"\n", gIcon, gTip);
    if (gSniffer != INVALID_SOCKET)
        closesocket(gSniffer);
    DestroyWindow(gTray);
    WSACleanup();
    return ok ? 0 : 1;
}
