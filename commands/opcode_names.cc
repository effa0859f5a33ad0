// The names of the command codes of the manager link, for logs and tools.
#include "commands/center_session.h"

namespace {

struct OpcodeName {
    int nCode;
    const char* szName;
};

constexpr OpcodeName kOpcodeNames[] = {
    {OP_VOL_FILE, "OP_VOL_FILE"},
    {OP_ROAD_IMAGE, "OP_ROAD_IMAGE"},
    {OP_CAR_IMAGE, "OP_CAR_IMAGE"},
    {OP_TRACKING_IMAGE, "OP_TRACKING_IMAGE"},
    {OP_LOCAL_STATUS, "OP_LOCAL_STATUS"},
    {OP_TRAFFIC_INFO, "OP_TRAFFIC_INFO"},
    {OP_TIME, "OP_TIME"},
    {OP_SUPERVISOR_CMD, "OP_SUPERVISOR_CMD"},
    {OP_STATUS, "OP_STATUS"},
    {OP_SPEED_SET, "OP_SPEED_SET"},
    {OP_LANE, "OP_LANE"},
    {OP_PANTILT, "OP_PANTILT"},
    {OP_LENS, "OP_LENS"},
    {OP_LOOP_DELAY, "OP_LOOP_DELAY"},
    {OP_MODE, "OP_MODE"},
    {OP_OPER, "OP_OPER"},
    {OP_SPEED_FILTER, "OP_SPEED_FILTER"},
    {OP_RUN_LOG, "OP_RUN_LOG"},
    {OP_RTU_RESET, "OP_RTU_RESET"},
    {OP_SEND_SWITCH, "OP_SEND_SWITCH"},
    {OP_SEND_TARGET, "OP_SEND_TARGET"},
    {OP_VIRTUAL_SIGNAL, "OP_VIRTUAL_SIGNAL"},
    {OP_SIGNAL_DELAY, "OP_SIGNAL_DELAY"},
    {OP_N_PASS, "OP_N_PASS"},
    {OP_BRIGHT, "OP_BRIGHT"},
    {OP_CDMA_HANGUP, "OP_CDMA_HANGUP"},
    {OP_PROGRAM_UPDATE, "OP_PROGRAM_UPDATE"},
};

}  // namespace

const char* CenterOpcodeName(int nCode) {
    for (const OpcodeName& op : kOpcodeNames) {
        if (op.nCode == nCode) return op.szName;
    }
    return nullptr;
}
