#pragma once
// The links of the interface list, as rows of one table: each row names its
// entries in the list, opens the link an entry stands for, and brings the steps
// of Update Firmware in which the links differ (a check before the handshake,
// what a programmer that never became ready leaves behind, the move to the
// programming rate). The handshake and the transfer themselves are written once,
// over the row's IIapLink.
//
// A new link (TCP to a terminal server, say) is one IIapLink implementation, its
// CDialogLink, and one row of the table in DialogLinks.cpp.

#include <memory>
#include <string>
#include <vector>

#include "outcome/Outcome.h"
#include "update/IapLink.h"

class CUpdaterDlg;

class CDialogLink {
 public:
  CDialogLink() = default;
  virtual ~CDialogLink() = default;
  CDialogLink(const CDialogLink&) = delete;
  CDialogLink& operator=(const CDialogLink&) = delete;

  // The entries of the interface list that stand for this link, in list order.
  virtual std::vector<std::string> Entries() const = 0;
  // The dialog's and the builder's number for this link.
  virtual InterfaceKind Kind() const = 0;
  // Opens the link that entry (one of Entries) stands for, logging and showing
  // boxes as the link always has. On failure outcome says why.
  virtual bool Open(const std::string& entry, Outcome& outcome) = 0;
  // Just before the handshake: false (after its log line, with handshake's
  // reason set) when it must not start.
  virtual bool BeforeHandshake(Outcome& handshake) = 0;
  // The seam the handshake and the transfer run over.
  virtual IIapLink& Iap() = 0;
  // The programmer never became ready: log, close and tell the technician.
  virtual void NotReady(Reason reason) = 0;
  // The programmer is ready and the controls are set: the last step before the
  // transfer worker starts.
  virtual void Ready() = 0;
};

// The table's links for dlg, in the order of the interface list: USB first, then
// COM1..COM9.
std::vector<std::unique_ptr<CDialogLink>> MakeDialogLinks(CUpdaterDlg& dlg);
// The interface list's entries, as the dialog shows them.
std::vector<std::string> InterfaceListEntries();
