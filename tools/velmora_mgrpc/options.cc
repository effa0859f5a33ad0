// velmora-mgrpc's command line: the usage text and the parsing of the options into
// Options (address, storage, commands, the faults of its answers, the directory watch).
#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include "tools/velmora_mgrpc/mgrpc.h"

namespace mgrpc {

const char kUsage[] =
    "usage: velmora-mgrpc [options] [-- COMMAND...]\n"
    "A Manager PC for the station link: accepts stations, prints every frame, acknowledges\n"
    "file packets, stores received files and sends commands.\n"
    "\n"
    "options:\n"
    "  --listen ADDR      address to listen on (default 0.0.0.0)\n"
    "  --port N           port to listen on (default 11001)\n"
    "  --store DIR        store completed files as DIR/<station id>/<base name>\n"
    "                     (unsafe characters become '_'); not stored without it\n"
    "  --script FILE      run the commands of FILE (one per line, '#' comments)\n"
    "  --id ID            station ID in commands (default: ID of the station's last frame;\n"
    "                     commands wait until it is known)\n"
    "  --watch-dir DIR    the station's violation directory (a host path): a file that\n"
    "                     leaves it before it arrived here whole is LOST\n"
    "  --aside-dir DIR    the station's d:/delete_img: a file found there is not lost if\n"
    "                     this run answered it 3 or 4 (or it is empty)\n"
    "  --fail-on-loss     exit status 3 when a file was lost\n"
    "faults of the answers (VOL: code 51; PKT: packet number; repeatable unless noted):\n"
    "  --resend CODE:PKT  answer 3 (send again) to that packet once\n"
    "  --refuse PKT       answer 4 (refuse the file) to VOL packets with that number\n"
    "  --silent           never answer file packets\n"
    "  --drop-after N     close the connection on the Nth file packet received (once)\n"
    "  --withhold PKT     leave that VOL packet unanswered once (it is still taken)\n"
    "  --dup-ack PKT      answer that VOL packet twice, once\n"
    "  --wrong-ack PKT    answer that VOL packet once with another number (the file's last\n"
    "                     packet, or 0 for the last packet itself)\n"
    "  --empty-ack PKT    answer that VOL packet once with a reply that carries no data\n"
    "                     byte, its checksum's first byte 1 (what a status of 1 would be)\n"
    "  --unsolicited      after each connect and each VOL file stored, ack a VOL packet not\n"
    "                     received on that connection (the last one left unanswered, else 1)\n"
    "  --blackhole-after N  on the Nth file packet stop reading and answering that\n"
    "                     connection, without closing it (once)\n"
    "  --cut-each         close the connection once on the first arrival of each packet of\n"
    "                     each VOL file, and once right after answering its last packet\n"
    "  --fault-rate P     answer a share P of VOL packets with 3 or 4 at random\n"
    "  --cut-rate P       close the connection on a share P of VOL packets at random\n"
    "  --seed S           seed of the two rates (default 1)\n"
    "  --garbage          send bytes that are not a frame once, after the first connect\n"
    "  --bad-crc          the next command sent carries a wrong CRC\n"
    "  --foreign-id       the next command sent carries another station ID\n"
    "  --root DIR         the station root: relative paths of --store, --script,\n"
    "                     --watch-dir and --aside-dir are taken under it\n"
    "  --poll SEC         send a status request (59) to every station every SEC seconds\n"
    "                     (default 60, a fraction allowed, 0 = never; divided by\n"
    "                     VELMORA_TIME_SCALE), so that an idle station's link watchdog\n"
    "                     sees frames; tests that need a silent center pass --poll 0\n"
    "  --version          the version\n"
    "  --help             this text\n"
    "\n"
    "commands (from --script, after \"--\", and from stdin, in that order):\n"
    "  CODE[/PKT] [DATA]  send a frame with that code (0-99), packet number (default 0) and\n"
    "                     DATA as ASCII; escapes \\xHH \\\\ \\n \\r \\t \\0. \"57\" sends no\n"
    "                     data, \"68 L\" asks for the running log, \"52/3 \\x01\" acks packet 3\n"
    "  raw HEX...         send these bytes as they are (hex pairs, blanks ignored)\n"
    "  close              close the connection\n"
    "  @ID COMMAND        only to stations whose ID is ID (without: to every station)\n"
    "  sleep MS           wait before the next command\n"
    "  quit               end the program\n"
    "Commands of --script and after \"--\" wait until a station is connected and its ID\n"
    "is known; a command typed on stdin, and any \"@ID\" command, goes at once to the\n"
    "stations connected now, or fails with an ERROR line when there is none; the next\n"
    "command is never held up by it.\n"
    "\n"
    "command codes and their data (ASCII characters after the code):\n"
    "  51/PKT, 52/PKT, 53/PKT, 54/PKT, 68/PKT  answer to a file packet: one byte, \\x01 taken,\n"
    "                     \\x03 send again, \\x04 refuse           e.g.  51/2 \\x01\n"
    "  52, 53, 54 D       trigger a road / car / tracking image, D a camera digit  e.g.  53 1\n"
    "  55, 61-65, 67, 69  camera commands: camera digit, then the command's digits\n"
    "                                                                  e.g.  62 0123\n"
    "  56                 traffic report request (no data)            e.g.  56\n"
    "  57 [YYYYMMDDhhmmss]  time query (no data) or clock setting     e.g.  57 20260101120000\n"
    "  58 TEXT            passed on to the supervisor program         e.g.  58 1\n"
    "  59                 short status request (no data)              e.g.  59\n"
    "  60 CWWWXXXYYYZZZ   speed settings: camera digit, four 3-digit values\n"
    "                                                                  e.g.  60 0080090100110\n"
    "  68 L               running-log request                         e.g.  68 L\n"
    "  71 D               violation-file transfer off (0) / on (1)    e.g.  71 1\n"
    "  72 DS              send target D (1 = Manager PC), save digit S   e.g.  72 11\n"
    "  73, 74 DATA        signal test / signal delay (signal stations)  e.g.  73 01\n"
    "  75 1AABB           N_PASS: a = AA (at most 24), b = BB          e.g.  75 12403\n"
    "  76 1AAABBB         brightness A, B (a first digit not 1: 0/0)  e.g.  76 1100120\n"
    "  78                 hang up the CDMA link (no data)             e.g.  78\n"
    "  79                 start a program update (no data)            e.g.  79\n"
    "\n"
    "output: one line per event, a tag then key=value fields (quoted values escape\n"
    "\\\\ \\\" and \\xHH):\n"
    "  LISTEN addr= port=\n"
    "  CONNECT peer=IP:PORT            CLOSE peer= reason=peer|error|drop-after|cut-each|cut|\n"
    "                                        send-error|command|exit\n"
    "  RX|TX code=NN name=OP_...|- len=N pkt=NNNN id=\"ID\" crc=ok|bad peer= ...\n"
    "     RX file packet 0: size= file=\"NAME\"   RX file packet k: bytes=N\n"
    "     RX 55: report=status time=\"..\"  56: report=traffic bytes=N\n"
    "     RX 57: report=time time=\"..\"     59: report=short head=b0,..,b9 time=\"..\"\n"
    "     TX packet answer: status=1|3|4   other frames: data=\"..\"\n"
    "  FILE peer= id= code= file=\"NAME\" size=N packets=N stored=\"PATH\"|-\n"
    "  FAULT peer= kind=withhold|dup-ack|wrong-ack|unsolicited|blackhole pkt=N\n"
    "  LEFT file=\"NAME\" as=stored|aside|aside-empty\n"
    "  LOST file=\"NAME\" aside=yes|no answered-bad=yes|no\n"
    "  RAW peer= bytes=N   GARBAGE peer= bytes=N   BADFRAME peer= skipped=N\n"
    "  ERROR text=\"..\"   EXIT lost=N\n";

namespace {

bool ParseInt(const std::string& sz, int* pOut) {
    char* pEnd = nullptr;
    errno = 0;
    const long n = std::strtol(sz.c_str(), &pEnd, 10);
    if (errno != 0 || pEnd == sz.c_str() || *pEnd != '\0' || n < 0 || n > 0x7FFFFFFF) return false;
    *pOut = static_cast<int>(n);
    return true;
}

bool ParseShare(const std::string& sz, double* pOut) {
    char* pEnd = nullptr;
    const double d = std::strtod(sz.c_str(), &pEnd);
    if (pEnd == sz.c_str() || *pEnd != '\0' || !(d >= 0.0 && d <= 1.0)) return false;
    *pOut = d;
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* o, bool* pbHelp, bool* pbVersion,
                  std::string* pError) {
    static const std::set<std::string> kValued{
        "--listen",    "--port",      "--store",      "--script",          "--id",
        "--watch-dir", "--aside-dir", "--resend",     "--refuse",          "--withhold",
        "--dup-ack",   "--wrong-ack", "--drop-after", "--blackhole-after", "--fault-rate",
        "--empty-ack",
        "--cut-rate",  "--seed",      "--poll",       "--root"};
    std::string szRoot;  // --root
    for (int k = 1; k < argc; ++k) {
        std::string szArg = argv[k];
        if (szArg == "--") {
            for (++k; k < argc; ++k) o->commands.push_back(argv[k]);
            break;
        }
        std::string szValue;
        bool bHasValue = false;
        const size_t nEq = szArg.find('=');
        if (szArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
            szValue = szArg.substr(nEq + 1);
            szArg = szArg.substr(0, nEq);
            bHasValue = true;
        }
        auto Value = [&](std::string* pOut) {
            if (bHasValue) {
                *pOut = szValue;
                return true;
            }
            if (k + 1 >= argc) return false;
            *pOut = argv[++k];
            return true;
        };
        auto Bad = [&](const std::string& sz) {
            *pError = sz;
            return false;
        };
        std::string v;
        int n = 0;
        if (szArg == "--help" || szArg == "-h") {
            *pbHelp = true;
        } else if (szArg == "--version") {
            *pbVersion = true;
        } else if (szArg == "--silent") {
            o->bSilent = true;
        } else if (szArg == "--garbage") {
            o->bGarbage = true;
        } else if (szArg == "--bad-crc") {
            o->bBadCrc = true;
        } else if (szArg == "--foreign-id") {
            o->bForeignId = true;
        } else if (szArg == "--unsolicited") {
            o->bUnsolicited = true;
        } else if (szArg == "--cut-each") {
            o->bCutEach = true;
        } else if (szArg == "--fail-on-loss") {
            o->bFailOnLoss = true;
        } else if (kValued.count(szArg) == 0) {
            return Bad((szArg.rfind("--", 0) == 0 ? "unknown option " : "unknown argument ") +
                       szArg);
        } else if (!Value(&v)) {
            return Bad(szArg + " needs a value");
        } else if (szArg == "--listen") {
            o->szListen = v;
        } else if (szArg == "--port") {
            if (!ParseInt(v, &o->nPort) || o->nPort < 1 || o->nPort > 65535)
                return Bad("bad port " + v);
        } else if (szArg == "--store") {
            o->szStoreDir = v;
        } else if (szArg == "--script") {
            o->szScript = v;
        } else if (szArg == "--id") {
            o->szId = v.substr(0, 5);
        } else if (szArg == "--watch-dir") {
            o->szWatchDir = v;
        } else if (szArg == "--aside-dir") {
            o->szAsideDir = v;
        } else if (szArg == "--resend") {
            const size_t nColon = v.find(':');
            int nPkt = 0;
            if (nColon == std::string::npos || !ParseInt(v.substr(0, nColon), &n) ||
                !ParseInt(v.substr(nColon + 1), &nPkt))
                return Bad("--resend needs CODE:PKT");
            o->resend.emplace_back(n, nPkt);
        } else if (szArg == "--refuse" || szArg == "--withhold" || szArg == "--dup-ack" ||
                   szArg == "--wrong-ack" || szArg == "--empty-ack") {
            if (!ParseInt(v, &n) || n > 9999) return Bad(szArg + " needs a packet number");
            if (szArg == "--refuse") o->refuse.insert(n);
            if (szArg == "--withhold") o->withhold.insert(n);
            if (szArg == "--dup-ack") o->dupAck.insert(n);
            if (szArg == "--wrong-ack") o->wrongAck.insert(n);
            if (szArg == "--empty-ack") o->emptyAck.insert(n);
        } else if (szArg == "--drop-after" || szArg == "--blackhole-after") {
            if (!ParseInt(v, &n) || n < 1) return Bad(szArg + " needs a count of at least 1");
            (szArg == "--drop-after" ? o->nDropAfter : o->nBlackholeAfter) = n;
        } else if (szArg == "--fault-rate" || szArg == "--cut-rate") {
            if (!ParseShare(v, szArg == "--fault-rate" ? &o->dFaultRate : &o->dCutRate))
                return Bad(szArg + " needs a share from 0 to 1");
        } else if (szArg == "--root") {
            if (v.empty()) return Bad("--root needs a directory");
            szRoot = v;
        } else if (szArg == "--poll") {
            char* pEnd = nullptr;
            const double d = std::strtod(v.c_str(), &pEnd);
            if (v.empty() || *pEnd != '\0' || !(d >= 0.0 && d <= 86400.0))
                return Bad("--poll needs seconds from 0 to 86400, not " + v);
            o->dPollSec = d;
        } else if (szArg == "--seed") {
            if (!ParseInt(v, &n)) return Bad("--seed needs a number");
            o->nSeed = static_cast<uint32_t>(n);
        }
    }
    for (std::string* p : {&o->szStoreDir, &o->szScript, &o->szWatchDir, &o->szAsideDir}) {
        if (!szRoot.empty() && !p->empty() && (*p)[0] != '/') *p = szRoot + "/" + *p;
    }
    if (!o->szAsideDir.empty() && o->szWatchDir.empty()) {
        *pError = "--aside-dir needs --watch-dir";
        return false;
    }
    return true;
}

}  // namespace mgrpc
