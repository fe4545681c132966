#pragma once

// What the test program inside the emulated machine asks of the host, one
// line per request over a virtio-serial channel; the host answers each with
// one line, "ok" and perhaps a number, or "error " and why. The host plays
// the devices; the test inside keeps the window and all the checks.
//
//   modem <bits>                      ttyS1's modem lines (TIOCM_ bits) become these
//   control                           ttyS1's DTR and RTS as the host sees them:
//                                     "ok <TIOCM_ bits> <times DTR fell so far>"
//   break                             a break on ttyS2
//   send <device> <file>              the file's bytes to the device, all taken by
//                                     the machine before the answer
//   send ftdi <file> unplug-after <n> the same, unplugging the adapter as soon as
//                                     the machine has taken n bytes; the answer
//                                     says how many it took, and the rest is dropped
//   unplug                            the USB adapter is pulled out
//   plug                              and plugged in again
//
// <device> is modem (ttyS1), telnet (ttyS2) or ftdi (ttyUSB0). Files are in
// the shared folder, which has the same path on both sides.
namespace DriversProtocol {
constexpr const char *channelName = "tarnel.control";
constexpr const char *modem = "modem";
constexpr const char *telnet = "telnet";
constexpr const char *ftdi = "ftdi";
} // namespace DriversProtocol
