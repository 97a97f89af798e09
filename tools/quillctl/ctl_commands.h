// The handlers of quillctl's commands, one file per family; the table in
// ctl_cli.cpp names them.
#pragma once

#include "quillctl/ctl_cli.h"

namespace quillctl {

// ctl_service.cpp: the service, its log and the DNS test.
int Status(Invocation& invocation);
int Start(Invocation& invocation);
int Stop(Invocation& invocation);
int Restart(Invocation& invocation);
int Reload(Invocation& invocation);
int Log(Invocation& invocation);
int TestDns(Invocation& invocation);

// ctl_accounts.cpp
int AccountList(Invocation& invocation);
int AccountAdd(Invocation& invocation);
int AccountRemove(Invocation& invocation);
int AccountPasswd(Invocation& invocation);
int AccountRename(Invocation& invocation);

// ctl_lists.cpp: local domains, forward rules, blocked senders, pre-defined
// mail servers and the IP filter.
int DomainList(Invocation& invocation);
int DomainAdd(Invocation& invocation);
int DomainRemove(Invocation& invocation);
int ForwardList(Invocation& invocation);
int ForwardAdd(Invocation& invocation);
int ForwardRemove(Invocation& invocation);
int ForwardMove(Invocation& invocation);
int BlockList(Invocation& invocation);
int BlockAdd(Invocation& invocation);
int BlockRemove(Invocation& invocation);
int RelayRecordList(Invocation& invocation);
int RelayRecordAdd(Invocation& invocation);
int RelayRecordRemove(Invocation& invocation);
int IpFilterShow(Invocation& invocation);
int IpFilterMode(Invocation& invocation);
int IpFilterAdd(Invocation& invocation);
int IpFilterRemove(Invocation& invocation);

// ctl_settings.cpp: single values by name.
int Get(Invocation& invocation);
int Set(Invocation& invocation);
int SettingsList(Invocation& invocation);
int RelayShow(Invocation& invocation);
int RelaySet(Invocation& invocation);

// ctl_mail.cpp: the queue and bad-mail folders.
int QueueList(Invocation& invocation);
int QueueShow(Invocation& invocation);
int QueueDelete(Invocation& invocation);
int QueueRetry(Invocation& invocation);
int BadMailList(Invocation& invocation);
int BadMailShow(Invocation& invocation);
int BadMailRetry(Invocation& invocation);
int BadMailDelete(Invocation& invocation);

// ctl_check.cpp
int Check(Invocation& invocation);

}  // namespace quillctl
