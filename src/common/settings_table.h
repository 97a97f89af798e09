// Every value of the mail service's configuration, once: its section and
// name below the product key, its type, its default when absent, the range
// it is meant for, what it means and who reads it. The service's loader and
// the applet's pages take names and defaults from here, and so can a tool
// that lists, shows or changes settings, or a generated reference page.
//
// A new setting is one more entry below and one more line in AllSettings();
// a new reader names its entries instead of repeating texts and numbers.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

enum class Type { Number, Text, List };

// What a text names on this machine, where it names something: quillctl's
// check tests that it is there.
enum class PathKind {
  None,
  Folder,  // a folder that must exist: the service makes none there
  File,    // a file the service must be able to read
};

struct Setting {
  const char* section;
  const char* name;
  Type type;
  // Number: the value when absent, and the range it is meant for. Readers
  // take a stored number as it is unless they say otherwise (the relay
  // keeps its scan interval inside the range).
  int number_default = 0;
  int min = 0;
  int max = INT_MAX;
  // Text: the value when absent; null for the computer's host name.
  const char* text_default = "";
  // Text: what the applet's page shows when the value is absent, where that
  // differs from text_default (it names the same thing).
  const char* shown_default = nullptr;
  // Text: what the text names; empty texts name nothing.
  PathKind path = PathKind::None;
  // List: the largest stored value (bytes of the serialised list) the
  // service loads, and the largest the applet shows. The applet stores none
  // larger than the service loads; the longer lists of domains, rules and
  // records come from earlier versions that stored them up to 8191 bytes.
  std::size_t service_max_bytes = 0;
  std::size_t applet_max_bytes = 0;
  // List: the text of one element (every list stores texts, the accounts
  // three per account).
  const char* element = "";
  const char* meaning = "";
  const char* read_by = "";
};

inline constexpr const char* kSettingsSection = "Settings";
// The service loads no list larger than this (and ignores a larger one).
inline constexpr std::size_t kMaxServiceListBytes = 4095;
// The applet still shows lists stored this large, so that they can be cut
// down to what the service loads.
inline constexpr std::size_t kMaxLongListBytes = 8191;

inline constexpr Setting kMailFolder{
    .section = kSettingsSection, .name = "MailFolder", .type = Type::Text,
    .text_default = "c:\\Mailboxes\\", .shown_default = "C:\\Mailboxes",
    .meaning = "root folder of the mail store: one folder per account, drop, queue and badmail",
    .read_by = "service (delivery, POP3, relay), applet (General page, mailbox folders)"};
inline constexpr Setting kPort{
    .section = kSettingsSection, .name = "Port", .type = Type::Number, .number_default = 110,
    .min = 1, .max = 65535, .meaning = "POP3 listening port", .read_by = "service at start, applet"};
inline constexpr Setting kSmtpPort{
    .section = kSettingsSection, .name = "SmtpPort", .type = Type::Number, .number_default = 25,
    .min = 1, .max = 65535, .meaning = "SMTP listening port", .read_by = "service at start, applet"};
inline constexpr Setting kLogLevel{
    .section = kSettingsSection, .name = "LogLevel", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 3, .meaning = "trace log level: 0 None, 1 Error, 2 Trace, 3 Debug",
    .read_by = "service, applet"};
inline constexpr Setting kLogPath{
    .section = kSettingsSection, .name = "LogPath", .type = Type::Text, .text_default = "",
    .path = PathKind::Folder,
    .meaning = "folder of the trace log Mailtrace.log; empty: the program's folder",
    .read_by = "service at start, applet"};
inline constexpr Setting kIPFilterMode{
    .section = kSettingsSection, .name = "IPFilterMode", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 2,
    .meaning = "IP filter: 0 off, 1 refuse the listed addresses, 2 accept only the listed ones",
    .read_by = "service (new connections), applet"};
inline constexpr Setting kConnectionsLimit{
    .section = kSettingsSection, .name = "ConnectionsLimit", .type = Type::Number,
    .number_default = 20, .min = 0,
    .meaning = "clients refused while more than this many SMTP and POP3 connections are open",
    .read_by = "service, applet"};
inline constexpr Setting kTimeout{
    .section = kSettingsSection, .name = "Timeout", .type = Type::Number, .number_default = 90,
    .min = 0, .meaning = "idle time-out of an SMTP or POP3 session, seconds",
    .read_by = "service, applet"};
inline constexpr Setting kRelayTimeout{
    .section = kSettingsSection, .name = "RelayTimeout", .type = Type::Number,
    .number_default = 30, .min = 0,
    .meaning = "time-out of DNS lookups and outbound SMTP replies of the relay, seconds",
    .read_by = "service (relay), applet"};
inline constexpr Setting kAuthLocal{
    .section = kSettingsSection, .name = "AuthLocal", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 1, .meaning = "not 0: SMTP clients authenticate before mail to local users",
    .read_by = "service (new connections), applet"};
inline constexpr Setting kAuthRemote{
    .section = kSettingsSection, .name = "AuthRemote", .type = Type::Number, .number_default = 1,
    .min = 0, .max = 1,
    .meaning = "not 0: SMTP clients authenticate before mail to other domains",
    .read_by = "service (new connections), applet"};
inline constexpr Setting kRelayMessages{
    .section = kSettingsSection, .name = "RelayMessages", .type = Type::Number,
    .number_default = 0, .min = 0, .max = 1,
    .meaning = "not 0: the relay thread delivers queued mail to other domains",
    .read_by = "service at start, applet"};
inline constexpr Setting kHostName{
    .section = kSettingsSection, .name = "HostName", .type = Type::Text, .text_default = nullptr,
    .meaning = "the name the relay gives itself in HELO; default: this computer's host name",
    .read_by = "service (relay), applet"};
inline constexpr Setting kDNSServer{
    .section = kSettingsSection, .name = "DNSServer", .type = Type::Text, .text_default = "",
    .meaning = "DNS server asked for MX records; empty: the system's first name server",
    .read_by = "service (relay), applet"};
inline constexpr Setting kMaxRecipients{
    .section = kSettingsSection, .name = "MaxRecipients", .type = Type::Number,
    .number_default = 0, .min = 0,
    .meaning = "recipients of one queued message the relay handles; 0: all",
    .read_by = "service (relay), applet"};
inline constexpr Setting kServerID{
    .section = kSettingsSection, .name = "ServerID", .type = Type::Text,
    .text_default = "Kestrune Mail Server SMTP (1.0.0.0)",
    .meaning = "server identification in the Received header of accepted mail",
    .read_by = "service (new connections), applet"};
inline constexpr Setting kCatchAllAccount{
    .section = kSettingsSection, .name = "CatchAllAccount", .type = Type::Text,
    .text_default = "admin",
    .meaning = "account that takes mail for unknown users of the local domains",
    .read_by = "service (each delivery), applet"};
inline constexpr Setting kScanInterval{
    .section = kSettingsSection, .name = "ScanInterval", .type = Type::Number,
    .number_default = 60, .min = 1, .max = 24 * 60 * 60,
    .meaning = "seconds between the relay's scans of the queue folder for missed mail, and between "
               "tries of spool files kept in the drop folder after a failed delivery",
    .read_by = "service (relay start, server start)"};
inline constexpr Setting kListenAddresses{
    .section = kSettingsSection, .name = "ListenAddresses", .type = Type::Text,
    .text_default = "",
    .meaning = "comma-separated IPv4 addresses the POP3 and SMTP listeners bind; empty: every address",
    .read_by = "service at start"};
inline constexpr Setting kMaxMessageSize{
    .section = kSettingsSection, .name = "MaxMessageSize", .type = Type::Number,
    .number_default = 0, .min = 0,
    .meaning = "largest message text taken over SMTP, bytes (announced as SIZE); 0: no limit",
    .read_by = "service (new SMTP connections)"};
inline constexpr Setting kTlsCertificate{
    .section = kSettingsSection, .name = "TlsCertificate", .type = Type::Text, .text_default = "",
    .path = PathKind::File,
    .meaning = "PEM certificate chain file for STARTTLS, STLS and the implicit TLS ports; empty: no encryption",
    .read_by = "service at start and on reload (new connections), applet (Encryption page)"};
inline constexpr Setting kTlsPrivateKey{
    .section = kSettingsSection, .name = "TlsPrivateKey", .type = Type::Text, .text_default = "",
    .path = PathKind::File,
    .meaning = "PEM private key file of the certificate (may be the certificate's own file)",
    .read_by = "service at start and on reload (new connections), applet (Encryption page)"};
inline constexpr Setting kTlsAuthOnly{
    .section = kSettingsSection, .name = "TlsAuthOnly", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 1,
    .meaning = "1: passwords (SMTP AUTH, POP3 USER and PASS) only on an encrypted session",
    .read_by = "service (new connections), applet (Encryption page)"};
inline constexpr Setting kSmtpsPort{
    .section = kSettingsSection, .name = "SmtpsPort", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 65535, .meaning = "SMTP port with implicit TLS (usually 465); 0: none",
    .read_by = "service at start, applet (Encryption page)"};
inline constexpr Setting kPop3sPort{
    .section = kSettingsSection, .name = "Pop3sPort", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 65535, .meaning = "POP3 port with implicit TLS (usually 995); 0: none",
    .read_by = "service at start, applet (Encryption page)"};
inline constexpr Setting kRelayTls{
    .section = kSettingsSection, .name = "RelayTls", .type = Type::Number, .number_default = 0,
    .min = 0, .max = 1,
    .meaning = "1: the relay says EHLO and uses STARTTLS where the remote server offers it",
    .read_by = "service (relay), applet (Encryption page)"};
inline constexpr Setting kRetryFor{
    .section = kSettingsSection, .name = "RetryFor", .type = Type::Text, .text_default = "0",
    .meaning = "how long the relay keeps trying a recipient after a temporary failure, "
               "with the unit s, m, h or d (\"5d\"); \"0\": one pass, failures go to badmail",
    .read_by = "service (relay) at start and on reload"};
inline constexpr Setting kRetrySchedule{
    .section = kSettingsSection, .name = "RetrySchedule", .type = Type::Text,
    .text_default = "5m,10m,20m,40m,60m",
    .meaning = "the relay's waits before each next try, with the unit s, m or h; the last one repeats",
    .read_by = "service (relay) at start and on reload"};

inline constexpr Setting kUsers{
    .section = "UserAccounts", .name = "Users", .type = Type::List,
    .service_max_bytes = kMaxServiceListBytes, .applet_max_bytes = kMaxServiceListBytes,
    .element = "three texts per account: the user name (the login and the name of its mailbox folder, "
               "compared without regard to case), the full name, the password (plain text)",
    .meaning = "accounts: user name, full name, password; absent: admin with no password",
    .read_by = "service, applet"};
inline constexpr Setting kMxRecords{
    .section = "Relay", .name = "MxRecords", .type = Type::List,
    .service_max_bytes = kMaxServiceListBytes, .applet_max_bytes = kMaxLongListBytes,
    .element = "a domain, \"|\", and the mail server (a dotted address or a name) that takes its mail "
               "instead of a DNS MX lookup; the domain \"*\" stands for every domain without an entry",
    .meaning = "pre-defined mail servers: domain, \"|\", server",
    .read_by = "service (relay), applet"};
inline constexpr Setting kDomains{
    .section = "Domains", .name = "Extensions", .type = Type::List,
    .service_max_bytes = kMaxServiceListBytes, .applet_max_bytes = kMaxLongListBytes,
    .element = "one domain name, compared without regard to case",
    .meaning = "local domains",
    .read_by = "service, applet"};
inline constexpr Setting kIPFilter{
    .section = "IpFilter", .name = "Addresses", .type = Type::List,
    .service_max_bytes = kMaxServiceListBytes, .applet_max_bytes = kMaxServiceListBytes,
    .element = "a dotted IPv4 address (10.0.0.1); a pattern whose parts may be \"*\" (192.168.*.*); or a "
               "range: the start, one separator (a blank, \"|\", \",\", \";\" or \"-\") and the end",
    .meaning = "IP filter entries: an address or a range",
    .read_by = "service (new connections), applet"};
inline constexpr Setting kForwardRules{
    .section = "ForwardRules", .name = "Rules", .type = Type::List,
    .service_max_bytes = kMaxServiceListBytes, .applet_max_bytes = kMaxLongListBytes,
    .element = "a recipient pattern, \"|\", and the new recipient; \"*\" and \"?\" match with regard to "
               "case and carry what they matched into the new recipient's user and domain parts; the first "
               "rule that matches wins",
    .meaning = "forward rules: recipient pattern, \"|\", new recipient",
    .read_by = "service (new connections), applet"};
inline constexpr Setting kBlockMailFrom{
    .section = "BlockMailFrom", .name = "Rules", .type = Type::List,
    .service_max_bytes = kMaxServiceListBytes, .applet_max_bytes = kMaxServiceListBytes,
    .element = "a sender address pattern; \"*\" and \"?\" match with regard to case",
    .meaning = "blocked senders (patterns with * and ?)",
    .read_by = "service (new connections), applet"};

// The addresses a ListenAddresses text names: the items between commas,
// trimmed, without empty items and repeats. None means every address.
std::vector<std::string> ListenAddressList(std::string_view text);

// Every setting, in the order of the configuration's sections.
std::span<const Setting* const> AllSettings();
// The setting of a section and value name (any case), or null.
const Setting* FindSetting(std::string_view section, std::string_view name);

// The stored value, or the setting's default when it cannot be read.
int ReadNumber(const Setting& setting);
std::string ReadText(const Setting& setting);
// The default of a text setting (the host name where it has none of its own).
std::string TextDefault(const Setting& setting);
bool WriteNumber(const Setting& setting, int number);
bool WriteText(const Setting& setting, std::string_view text);

// One member of a settings struct bound to its setting, so that a page's
// Load and Save are one list of bindings. Load shows a missing text as the
// setting's shown default; Save writes in the order of the list.
template <class T>
struct Field {
  const Setting* setting;
  int T::*number = nullptr;
  std::string T::*text = nullptr;
};
template <class T>
constexpr Field<T> Bind(const Setting& setting, int T::*member) {
  return {&setting, member, nullptr};
}
template <class T>
constexpr Field<T> Bind(const Setting& setting, std::string T::*member) {
  return {&setting, nullptr, member};
}

std::string ReadShownText(const Setting& setting);

template <class T, std::size_t N>
void LoadFields(T& object, const std::array<Field<T>, N>& fields) {
  for (const Field<T>& field : fields) {
    if (field.number) object.*field.number = ReadNumber(*field.setting);
    if (field.text) object.*field.text = ReadShownText(*field.setting);
  }
}

template <class T, std::size_t N>
void SaveFields(const T& object, const std::array<Field<T>, N>& fields) {
  for (const Field<T>& field : fields) {
    if (field.number) WriteNumber(*field.setting, object.*field.number);
    if (field.text) WriteText(*field.setting, object.*field.text);
  }
}

}  // namespace settings
