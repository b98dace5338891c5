// The field registry and the object helpers against a real topology database.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "trvlib.h"
#include "trvtest.h"

namespace fs = std::filesystem;

namespace {

// The integration's nine fields, as a test registers them when the instance
// does not yet carry them.
const char kTrvFields[] =
    "field \"trvSysType\" Enumeration \"TrvServer\" \"TrvDesktop\" \"NonTarvo\"\n"
    "field \"trvSubSysType\" Enumeration \"Unset\" \"WEB_ENABLED\" \"WEB_DISABLED\"\n"
    "field \"trvOsType\" String\n"
    "field \"trvDeviceStatus\" Enumeration \"Unset\" \"Unknown\" \"Normal\" \"Marginal\" \"Major\" \"Critical\" "
    "\"Unmanaged\" \"Warning\"\n"
    "field \"trvNodeObjId\" Integer\n"
    "field \"isTrvVantor\" Boolean\n"
    "field \"isTrvRIXEN\" Boolean\n"
    "field \"trvRIXENip\" String\n"
    "field \"isVelmswp\" Boolean\n";

class TrvFields : public ::testing::Test {
protected:
    void SetUp() override {
        inst_ = std::make_unique<zqtest::Instance>();
        if (!fs::exists(inst_->root + "/fields/trv.fields")) {
            zqtest::write_file(inst_->root + "/fields/trvtest.fields", kTrvFields);
            auto r = zqtest::run({zqtest::bin("zqsetup"), inst_->root});
            ASSERT_EQ(r.status, 0) << r.err;
        }
        inst_->activate();
        ASSERT_EQ(ZqwDbInit(), 0);
        szProgramName = "trvdis";
        uiDebugLevel = 0;
        ASSERT_EQ(iGetFieldIds(), 1);
    }
    void TearDown() override {
        ZqwDbDone();
        uiWebAgentPort = TRV_WEB_AGENT_PORT;
    }

    static ZqwObjectId object() { return ZqwDbCreateObject(nullptr); }
    static ZqwFieldId field(const char* name) { return ZqwDbFieldNameToFieldId(name); }
    // An IP interface object of a node; address null: none.
    static ZqwObjectId iface(ZqwObjectId node, const char* address, bool isIp = true) {
        ZqwObjectId id = object();
        EXPECT_EQ(ZqwDbSetFieldIntegerValue(id, uiFieldTopMNodeId, static_cast<int>(node)), 1);
        EXPECT_EQ(ZqwDbSetFieldBooleanValue(id, uiFieldIsIP, isIp ? 1 : 0), 1);
        if (address) {
            EXPECT_EQ(ZqwDbSetFieldStringValue(id, uiFieldIpAddress, address), 1);
        }
        return id;
    }

    std::unique_ptr<zqtest::Instance> inst_;
};

TEST_F(TrvFields, RegistryOfTrvdisHoldsTheWebFieldOthersDoNot) {
    for (const TrvFieldDef& def : aTrvFields) {
        EXPECT_FALSE(ZqwIsIdNull(*def.pId)) << def.szName;
        EXPECT_EQ(*def.pId, field(def.szName)) << def.szName;
    }
    szProgramName = "trvmap";
    EXPECT_EQ(iGetFieldIds(), 1);
    EXPECT_TRUE(ZqwIsIdNull(uiFieldIsVelmswp));
    EXPECT_FALSE(ZqwIsIdNull(uiFieldIsIP));
}

TEST_F(TrvFields, MissingFieldStopsTheRegistry) {
    ASSERT_EQ(ZqwDbDeleteField(field("isVelmswp")), 1);
    EXPECT_EQ(iGetFieldIds(), -1);              // trvdis needs it
    EXPECT_FALSE(ZqwIsIdNull(uiFieldTrvRIXENip));
    EXPECT_TRUE(ZqwIsIdNull(uiFieldIsComputer));  // the names after it stay unresolved
    szProgramName = nullptr;                      // trvdelfld: no program name
    EXPECT_EQ(iGetFieldIds(), 1);

    ASSERT_EQ(ZqwDbDeleteField(field("isSNMPSupported")), 1);
    EXPECT_EQ(iGetFieldIds(), -1);
    EXPECT_FALSE(ZqwIsIdNull(uiFieldTopMNodeId));
    EXPECT_TRUE(ZqwIsIdNull(uiFieldIsIP));  // defined, but never reached
}

TEST_F(TrvFields, NodeManagedFollowsIpStatus) {
    ZqwObjectId node = object();
    ZqwFieldId status = field("IP Status");
    EXPECT_EQ(iIsNodeManaged(node), 0);  // no value
    ASSERT_EQ(ZqwDbSetFieldEnumByName(node, status, "Unmanaged"), 1);
    EXPECT_EQ(iIsNodeManaged(node), 0);
    ASSERT_EQ(ZqwDbSetFieldEnumByName(node, status, "Critical"), 1);
    EXPECT_EQ(iIsNodeManaged(node), 1);
    EXPECT_EQ(iIsNodeManaged(ZQW_NULL_ID), 0);
}

TEST_F(TrvFields, SymbolCheckFailsWithoutAnOpenMap) {
    // Outside the map program no map is open: the check fails and says why.
    trvtest::StderrCapture cap;
    EXPECT_EQ(iIsSymbolManaged(7), -1);
    EXPECT_NE(cap.text().find("(ZQW API ERROR): " + std::string(ZqwErrorMsg(ZQW_E_NOAPP))), std::string::npos);
}

TEST_F(TrvFields, LostDatabaseIsReportedByTheManageCheck) {
    ZqwObjectId node = object();
    uiDebugLevel = 2;
    trvtest::StderrCapture cap;
    fs::remove(inst_->root + "/db/topology.db");
    EXPECT_EQ(iIsNodeManaged(node), -1);
    std::string err = cap.text();
    EXPECT_NE(err.find("(ZQW API ERROR): " + std::string(ZqwErrorMsg(ZQW_E_CONNLOST)) + " IP Status"),
              std::string::npos)
        << err;
}

TEST_F(TrvFields, RunningMarkerKindsAndNodeOfASubsystem) {
    EXPECT_EQ(iIsTrvdisRunning(), 0);
    ASSERT_FALSE(ZqwIsIdNull(ZqwDbCreateObjectBySelectionName(TRV_RUNNING_MARKER)));
    EXPECT_EQ(iIsTrvdisRunning(), 1);

    ZqwObjectId node = object(), device = object(), other = object();
    ZqwDbSetFieldBooleanValue(node, uiFieldIsNode, 1);
    ZqwDbSetFieldBooleanValue(device, uiFieldIsNode, 0);
    ZqwDbSetFieldBooleanValue(device, uiFieldIsDevice, 1);
    EXPECT_EQ(iGetNodeKind(node), 1);
    EXPECT_EQ(iGetNodeKind(device), 2);
    EXPECT_EQ(iGetNodeKind(other), -1);

    ZqwDbSetFieldIntegerValue(device, uiFieldTrvNodeObjId, static_cast<int>(node));
    EXPECT_EQ(iGetNodeObjId(device), static_cast<int>(node));
    EXPECT_EQ(iGetNodeObjId(other), 0);
}

TEST_F(TrvFields, NamesResolveBySelectionNameHostNameOrId) {
    ZqwObjectId marked = ZqwDbCreateObjectBySelectionName("sel-one");
    ZqwObjectId host = object(), bare = object();
    ASSERT_EQ(ZqwDbSetFieldStringValue(host, field("IP Hostname"), "Host-Two"), 1);
    std::string hostId = std::to_string(host), bareId = std::to_string(bare);
    struct Case {
        std::string name;
        ZqwObjectId want;
    } cases[] = {
        {"sel-one", marked},
        {"host-two", host},          // host names match without regard to case
        {hostId, host},
        {bareId, ZQW_NULL_ID},       // an id without a host name names nothing
        {"0", ZQW_NULL_ID},
        {"4294967296", ZQW_NULL_ID},  // past 32 bits
        {"00000000001", ZQW_NULL_ID}, // more than ten digits
        {hostId + "x", ZQW_NULL_ID},
        {"", ZQW_NULL_ID},
        {"nobody", ZQW_NULL_ID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int lost = 0;
        EXPECT_EQ(uiResolveName(c.name.c_str(), &lost), c.want);
        EXPECT_EQ(uiResolveName(c.name.c_str(), nullptr), c.want);
        EXPECT_EQ(lost, 0);
    }
    fs::remove(inst_->root + "/db/topology.db");
    int lost = 0;
    EXPECT_EQ(uiResolveName("sel-one", &lost), ZQW_NULL_ID);
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(uiResolveName("sel-one", nullptr), ZQW_NULL_ID);
}

TEST_F(TrvFields, SubsystemsOfANodeByIdAndByHostName) {
    ZqwObjectId node = object(), lone = object(), sub1 = object(), sub2 = object();
    ASSERT_EQ(ZqwDbSetFieldStringValue(node, field("IP Hostname"), "vnode"), 1);
    ASSERT_EQ(ZqwDbSetFieldStringValue(lone, field("IP Hostname"), "lone"), 1);
    for (ZqwObjectId sub : {sub1, sub2}) {
        ASSERT_EQ(ZqwDbSetFieldIntegerValue(sub, uiFieldTrvNodeObjId, static_cast<int>(node)), 1);
    }
    struct Case {
        const char* host;
        std::vector<ZqwObjectId> want;  // ignored when null is wanted
        bool null;
    } cases[] = {
        {"vnode", {sub1, sub2}, false},
        {"lone", {}, false},    // no subsystems: an empty list
        {"nohost", {}, true},   // no object for the host
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        ZqwObjectIdList* byHost = pGetSubSysObjIds(c.host);
        ASSERT_EQ(byHost == nullptr, c.null);
        if (byHost == nullptr) continue;
        ZqwObjectIdList* byId = pListSubSysObjIds(ZqwDbHostnameToObjectId(c.host));
        ASSERT_NE(byId, nullptr);
        for (ZqwObjectIdList* list : {byHost, byId}) {
            std::vector<ZqwObjectId> got(list->object_ids, list->object_ids + list->count);
            EXPECT_EQ(got, c.want);
            ZqwDbFreeObjectIdList(list);
        }
    }
}

TEST_F(TrvFields, FieldTextOfEveryTypeAndOfNoValue) {
    ZqwObjectId node = object();
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(node, uiFieldIsTrvVantor, 1), 1);
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(node, uiFieldIsTrvRIXEN, 0), 1);
    ASSERT_EQ(ZqwDbSetFieldIntegerValue(node, uiFieldTrvNodeObjId, -42), 1);
    ASSERT_EQ(ZqwDbSetFieldStringValue(node, uiFieldTrvOsType, "ntsrvr"), 1);
    ASSERT_EQ(ZqwDbSetFieldStringValue(node, uiFieldTrvRIXENip, ""), 1);
    ASSERT_EQ(ZqwDbSetFieldEnumByName(node, uiFieldTrvSysType, "TrvDesktop"), 1);
    struct Case {
        ZqwObjectId object;
        ZqwFieldId field;
        const char* none;
        size_t size;
        int result;
        const char* text;
    } cases[] = {
        {node, uiFieldIsTrvVantor, "-", 64, 1, "TRUE"},
        {node, uiFieldIsTrvRIXEN, "-", 64, 1, "FALSE"},
        {node, uiFieldTrvNodeObjId, "-", 64, 1, "-42"},
        {node, uiFieldTrvOsType, "-", 64, 1, "ntsrvr"},
        {node, uiFieldTrvOsType, "-", 4, 1, "nts"},        // cut to the buffer
        {node, uiFieldTrvRIXENip, "-", 64, 1, ""},         // an empty text is a value
        {node, uiFieldTrvSysType, "-", 64, 1, "TrvDesktop"},
        {node, uiFieldTrvDeviceStatus, "-", 64, 0, "-"},   // never set
        {node, uiFieldTrvDeviceStatus, nullptr, 64, 0, ""},
        {ZQW_NULL_ID, uiFieldTrvOsType, "none", 64, 0, "none"},
        {node, ZQW_NULL_ID, "none", 64, 0, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.size));
        std::string buf(c.size + 1, 'X');
        EXPECT_EQ(iFieldText(c.object, c.field, c.none, buf.data(), c.size), c.result);
        EXPECT_STREQ(buf.c_str(), c.text);
        EXPECT_EQ(buf[c.size], 'X');  // nothing written past the buffer
    }
}

TEST_F(TrvFields, WebAgentOnTheSecondInterfaceAnswers) {
    trvtest::Responder web(trvtest::Responder::kReply, "HTTP/1.0 200 OK\r\n\r\n");
    web.serve();
    uiWebAgentPort = static_cast<unsigned int>(web.port());
    ZqwObjectId node = object();
    iface(node, "127.0.0.2");  // nothing listens there: refused
    iface(node, "127.0.0.1");
    uiDebugLevel = 2;
    trvtest::StderrCapture cap;
    EXPECT_EQ(iIsWebEnabled(node), 1);
    std::string err = cap.text();
    EXPECT_NE(err.find("iIsWebDisabled: Returning TRUE\n"), std::string::npos);
    EXPECT_NE(err.find("iIsWebEnabled: Returning TRUE\n"), std::string::npos);
    EXPECT_EQ(web.accepted(), 1);
}

TEST_F(TrvFields, InterfacesWithoutAddressOrNotIpAreNotProbed) {
    trvtest::Responder web(trvtest::Responder::kReply, "HTTP/1.0 200 OK\r\n\r\n");
    web.serve();
    uiWebAgentPort = static_cast<unsigned int>(web.port());
    ZqwObjectId node = object();
    iface(node, nullptr);
    iface(node, "127.0.0.1", false);
    EXPECT_EQ(iIsWebEnabled(node), 0);

    ZqwObjectId bare = object();
    uiDebugLevel = 2;
    trvtest::StderrCapture cap;
    EXPECT_EQ(iIsWebEnabled(bare), 0);
    EXPECT_NE(cap.text().find("No NIC objects associated with this node"), std::string::npos);
    EXPECT_EQ(web.accepted(), 0);
}

}  // namespace
