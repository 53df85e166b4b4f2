#pragma once
// The device on USB, as the socket HID channel presents it: a Unix-domain stream
// socket on which every accepted connection is the device being plugged in. The
// front greets each connection with the device's ids, report lengths and serial
// number (when it has one), takes output reports, and answers with input reports.
// The updater opens the device anew at every Update Firmware press, so
// connections come and go; the device's state (programming mode, flash, frame
// count) lives on across them. One updater at a time: while a connection is open,
// a new one is closed at once without a hello, which the updater's channel reads
// as no device present.

#include <string>
#include <vector>

#include "sim/IapDevice.h"
#include "sim/SimFront.h"

class CHidSocketFront {
 public:
  CHidSocketFront(CIapDevice& device, const FrontOptions& options, std::string socketPath);
  ~CHidSocketFront();
  CHidSocketFront(const CHidSocketFront&) = delete;
  CHidSocketFront& operator=(const CHidSocketFront&) = delete;

  // Binds and listens. An old socket file at the path (a simulator that died) is
  // replaced; any other file there is left alone and Open fails.
  bool Open(std::string& error);
  const std::string& Path() const { return m_path; }
  FrontEnd Run();
  const TransferTiming& Timing() const { return m_timing; }

 private:
  struct Connection {
    int fd = -1;
    Bytes inbox;  // bytes received, not yet a whole message
  };

  bool Accept();
  void Refuse();
  // Handles what arrived on one connection; false when it is to be closed.
  bool Serve(Connection& connection, SimClock::time_point now, bool& hangUp);
  bool TakeReport(Connection& connection, const Bytes& report, SimClock::time_point now,
                  bool& hangUp);
  bool Send(int fd, std::uint8_t type, const Bytes& payload);
  void CloseAll();

  CIapDevice& m_device;
  FrontOptions m_options;
  std::string m_path;
  int m_listener = -1;
  std::vector<Connection> m_connections;
  TransferTiming m_timing;
  SimClock::time_point m_messageStart{};
  CLineSchedule m_schedule;   // with pacing: when answers may go out
  long m_messageReports = 0;  // reports that carried the message being received
};
