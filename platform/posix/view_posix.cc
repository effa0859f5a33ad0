// TerminalView: the dialog drawn with ncurses from the control model, and its keys.
#include "platform/posix/view_posix.h"

#include <curses.h>

#include <clocale>
#include <iterator>
#include <mutex>
#include <utility>

#include "platform/posix/posix_env.h"

namespace vplat {

namespace {

std::mutex g_cursesMutex;      // curses calls of the view thread and the end hook
bool g_bCursesActive = false;  // initscr done, endwin not yet

constexpr uint32_t kMsgSysCommand = 0x0112;  // WM_SYSCOMMAND
constexpr uintptr_t kAboutCommand = 0x10;    // the about entry of the system menu

void EndCurses() {
    std::lock_guard<std::mutex> lock(g_cursesMutex);
    if (g_bCursesActive) {
        endwin();
        g_bCursesActive = false;
    }
}

// One control of the layout: label shown before the text, and the id.
struct Field {
    const char* szLabel;
    int nId;
};

}  // namespace

TerminalView::TerminalView(PosixLoop* pLoop, HostEnv* pEnv, std::string szCaption)
    : m_pLoop(pLoop), m_pEnv(pEnv), m_szCaption(std::move(szCaption)) {}

TerminalView::~TerminalView() {
    m_bStop.store(true);
    if (m_thread.joinable()) m_thread.join();
    EndCurses();
}

void TerminalView::Start() {
    std::setlocale(LC_ALL, "");
    {
        std::lock_guard<std::mutex> lock(g_cursesMutex);
        if (initscr() == nullptr) return;
        g_bCursesActive = true;
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        curs_set(0);
        timeout(500);
    }
    SetEndProcessHook(&EndCurses);
    m_thread = std::thread([this] { Run(); });
}

void TerminalView::Deliver(uint32_t nMsg, uintptr_t wParam) {
    m_pLoop->PostToHandler(nMsg, wParam, 0);
}

void TerminalView::Run() {
    bool bAbout = false;
    while (!m_bStop.load()) {
        Draw(bAbout);
        int nKey = ERR;
        {
            std::lock_guard<std::mutex> lock(g_cursesMutex);
            if (!g_bCursesActive) return;
        }
        nKey = getch();  // waits at most 500 ms (timeout above)
        if (nKey == ERR) continue;
        if (bAbout) {
            bAbout = false;  // any key is "확인"
            continue;
        }
        switch (nKey) {
            case 's':
                Deliver(kMsgCommand, 1014);
                break;
            case 'c':
                Deliver(kMsgCommand, 1013);
                break;
            case 'a':
                Deliver(kMsgSysCommand, kAboutCommand);
                bAbout = true;
                break;
            case 'q':
                Deliver(kMsgClose, 0);
                break;
            default:
                break;
        }
    }
}

void TerminalView::Draw(bool bAbout) {
    auto text = [this](int nId) { return m_pEnv->GetControlText(nId); };
    std::lock_guard<std::mutex> lock(g_cursesMutex);
    if (!g_bCursesActive) return;
    erase();
    const std::string szIcon = text(1009);
    const char* szLink = szIcon == "icon:129"   ? "[LINK UP]"
                         : szIcon == "icon:130" ? "[LINK DOWN]"
                                                : "[NO LINK YET]";
    // 80 columns: the caption, the link in words, the backlog (control 1100) cut to fit.
    mvprintw(0, 1, "%.32s", m_szCaption.c_str());
    mvprintw(0, 36, "%s", szLink);
    mvprintw(0, 52, "%.27s", text(1100).c_str());
    mvprintw(1, 1, "-- Local Information -- %s", text(1015).c_str());
    // A 15-character address whole: each field gets the width of its longest value.
    static const Field kRow2[] = {{"관리 IP  :", 1001}, {"Port No :", 1002}, {"Local ID  :", 1003}};
    static const int kCols[] = {2, 29, 46};  // ends at 28, 44 and 63 at the longest
    for (size_t k = 0; k < std::size(kRow2); ++k) {
        mvprintw(2, kCols[k], "%s %.15s", kRow2[k].szLabel, text(kRow2[k].nId).c_str());
    }
    mvprintw(2, 66, "v.1.0.0(T)");
    mvprintw(3, 3, "R %s   S %s", text(1017).c_str(), text(1018).c_str());
    // One control's text each: row, column, label around the text, control id.
    static const struct {
        int nRow, nCol;
        const char* szFormat;
        int nId;
    } kCells[] = {{4, 3, "%s", 1006},         {5, 3, "%s", 1007},        {6, 3, "%s", 1011},
                  {7, 3, "Com : %s", 1000},   {7, 30, "C.N  : %s", 1016}, {9, 3, "수신 : %s", 1005},
                  {9, 30, "%s", 1010},        {9, 55, "[%s]", 1013},     {10, 3, "송신 : %s", 1004},
                  {10, 30, "%s", 1008},       {11, 30, "%s", 1012},      {10, 55, "[%s]", 1014}};
    for (const auto& c : kCells) mvprintw(c.nRow, c.nCol, c.szFormat, text(c.nId).c_str());
    mvprintw(13, 1, "s: %s   c: %s   a: about   q: close", text(1014).c_str(), text(1013).c_str());
    if (bAbout) {
        mvprintw(4, 20, "+----------- Velmora 정보 -----------+");
        mvprintw(5, 20, "|  Velmora 버전 1.0                  |");
        mvprintw(6, 20, "|                          [ 확인 ]  |");
        mvprintw(7, 20, "+------------------------------------+");
    }
    refresh();
}

}  // namespace vplat
