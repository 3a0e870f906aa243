// The calls of version 0 are fixed: their number and their ids, which a
// peer built to them alone relies on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

using namespace seafold;

TEST(WireVersion, TheBaseCallsKeepTheirIds)
{
    NetClassRep::initialize();
    // Ordered by version, then byte-wise by name: ids 0 to 20.
    const std::vector<std::string> base = {"RPC_GhostConnection_rpcEndGhosting",
                                           "RPC_GhostConnection_rpcReadyForNormalGhosts",
                                           "RPC_GhostConnection_rpcStartGhosting",
                                           "RPC_SimpleEventConnection_c2sAddNewClient",
                                           "RPC_SimpleEventConnection_c2sEntitySelection",
                                           "RPC_SimpleEventConnection_c2sVoice",
                                           "RPC_SimpleEventConnection_c2smakeMovement",
                                           "RPC_SimpleEventConnection_rpcCoorClientToServer",
                                           "RPC_SimpleEventConnection_rpcCoorServerToClient",
                                           "RPC_SimpleEventConnection_rpcMessageClientToServer",
                                           "RPC_SimpleEventConnection_rpcMessageServerToClient",
                                           "RPC_SimpleEventConnection_rpcStreamClientToServer",
                                           "RPC_SimpleEventConnection_rpcStreamServerToClient",
                                           "RPC_SimpleEventConnection_rpcStructClientToServer",
                                           "RPC_SimpleEventConnection_rpcStructServerToClient",
                                           "RPC_SimpleEventConnection_s2cBroadcastMessage",
                                           "RPC_SimpleEventConnection_s2cEntityNotify",
                                           "RPC_SimpleEventConnection_s2cIntroduceNewClient",
                                           "RPC_SimpleEventConnection_s2cVoice",
                                           "RPC_SimpleEventConnection_s2cclientDisconnect",
                                           "RPC_SimpleEventConnection_s2cmakeMovement"};
    ASSERT_EQ(NetClassRep::classCountUpToVersion(NetClassGroupDefault, NetClassTypeEvent, WireVersionBase),
              BaseEventClassCount);
    ASSERT_EQ(base.size(), size_t(BaseEventClassCount));
    for (uint32_t id = 0; id < BaseEventClassCount; ++id) {
        RefPtr<Object> made = NetClassRep::createByClassId(NetClassGroupDefault, NetClassTypeEvent, id);
        ASSERT_TRUE(made);
        EXPECT_EQ(made->classRep()->className(), base[id]) << "id " << id;
        EXPECT_EQ(made->classRep()->classVersion(), WireVersionBase) << base[id];
    }
    // Whatever was added later comes after them.
    const uint32_t total = NetClassRep::classCount(NetClassGroupDefault, NetClassTypeEvent);
    for (uint32_t id = BaseEventClassCount; id < total; ++id) {
        RefPtr<Object> made = NetClassRep::createByClassId(NetClassGroupDefault, NetClassTypeEvent, id);
        EXPECT_GE(made->classRep()->classVersion(), WireVersionSeafold) << made->classRep()->className();
    }
}
