#include "monitoractions.h"

#include "variablecatalogue.h"
#include "zorhostport.h"

#ifdef ZOR_HAVE_NETSNMP
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#endif

#include <cstring>

namespace zormon {

std::vector<TrapSink> parseTrapSinks(const std::string& confText, std::vector<std::string>* problems)
{
    std::vector<TrapSink> sinks;
    forEachConfigLine(confText, [&](int number, const std::vector<std::string>& words) {
        if (words.size() != 3 || words[0] != "trap-sink") {
            problems->push_back("snmp.conf line " + std::to_string(number) +
                                ": expected trap-sink HOST[:PORT] COMMUNITY");
            return;
        }
        sinks.push_back({words[1], words[2]});
    });
    return sinks;
}

#ifdef ZOR_HAVE_NETSNMP
namespace {

/// The enterprise number reserved for documentation, under which the
/// monitor's notification and its objects live (ZOR-MONITOR-MIB).
const oid kAlertTrap[] = {1, 3, 6, 1, 4, 1, 32473, 1, 0, 1};
const oid kResolvedTrap[] = {1, 3, 6, 1, 4, 1, 32473, 1, 0, 2};
const oid kAlertObjects[] = {1, 3, 6, 1, 4, 1, 32473, 1, 1};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};

/// Where a sink that names no port listens.
constexpr int kTrapPort = 162;

void addText(netsnmp_pdu* pdu, oid column, const std::string& text)
{
    oid name[MAX_OID_LEN];
    const size_t length = OID_LENGTH(kAlertObjects);
    std::memcpy(name, kAlertObjects, sizeof kAlertObjects);
    name[length] = column;
    name[length + 1] = 0;
    snmp_pdu_add_variable(pdu, name, length + 2, ASN_OCTET_STR, text.data(), text.size());
}

} // namespace

zor::Expected<void> sendTrap(const TrapSink& sink, const std::string& variable, const std::string& value,
                             const std::string& description, const std::string& message, bool resolved)
{
    // No init_snmp: it would read configuration files and MIBs and make
    // folders for keys and certificates, none of which sending a v2c
    // notification needs. snmp_sess_init registers the transports itself,
    // once per process (registering them again would lose the first set).
    // A host or [IPv6] without a port gets the standard one. Anything else
    // (a port, a transport prefix such as udp6:, a text that is no address)
    // goes to the library as written, which says when it cannot use it.
    const zor::Expected<zor::HostPort> target = zor::parseHostPort(sink.peer, true);
    const bool standardPort = target && target->port == 0 &&
                              (sink.peer.front() == '[' || target->host.find(':') == std::string::npos);
    const std::string peer = standardPort ? zor::formatHostPort(target->host, kTrapPort) : sink.peer;
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_2c;
    settings.peername = const_cast<char*>(peer.c_str());
    settings.community = reinterpret_cast<u_char*>(const_cast<char*>(sink.community.c_str()));
    settings.community_len = sink.community.size();
    void* session = snmp_sess_open(&settings);
    if (session == nullptr) {
        return zor::Error{"cannot open an SNMP session to " + peer};
    }
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
    const long uptime = get_uptime();
    snmp_pdu_add_variable(pdu, kSysUpTime, OID_LENGTH(kSysUpTime), ASN_TIMETICKS, &uptime, sizeof uptime);
    snmp_pdu_add_variable(pdu, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID, resolved ? kResolvedTrap : kAlertTrap,
                          sizeof kAlertTrap);
    addText(pdu, 1, variable);
    addText(pdu, 2, value);
    addText(pdu, 3, description);
    addText(pdu, 4, message);
    const bool sent = snmp_sess_send(session, pdu) != 0;
    if (!sent) {
        snmp_free_pdu(pdu); // not taken by the library when the send failed
    }
    snmp_sess_close(session);
    if (!sent) {
        return zor::Error{"cannot send the notification to " + peer};
    }
    return {};
}
#else
zor::Expected<void> sendTrap(const TrapSink& sink, const std::string&, const std::string&, const std::string&,
                             const std::string&, bool)
{
    return zor::Error{"cannot send to " + sink.peer + ": built without Net-SNMP (libsnmp-dev)"};
}
#endif

} // namespace zormon
