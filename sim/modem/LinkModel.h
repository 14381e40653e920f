#pragma once
// The link between the host and the modem's boot loader: how fast the loader writes flash
// and what each data transfer costs beyond its bytes (the USB bulk transfer's scheduling
// and the device's response). Off by default: the modem then answers without delay.
//
// Text form, as a fault plan's: terms joined by ';', "off" or "" for none.
//   rate=4.3MB/s         flash write rate; k, M, G are 10^3, 10^6, 10^9, Ki and Mi 2^10,
//                        2^20; "B/s" may follow
//   turnaround=0.125ms   per data transfer; ms or us
// A transfer holds the link for turnaround + bytes / rate platform time, one transfer
// after another; its bytes reach the loader, and its completion the driver, at the end.
#include <string>

namespace sim {

struct LinkModel {
    double BytesPerSecond = 0;  // 0: no limit
    double TurnaroundMs = 0;

    bool Off() const { return BytesPerSecond == 0 && TurnaroundMs == 0; }
    // Platform milliseconds one transfer of `bytes` holds the link.
    double TransferMs(size_t bytes) const;
    // The text form; "off" for none.
    std::string Text() const;
};

// False, with a message that names the known terms, for a bad text; *link is left as it
// was then.
[[nodiscard]] bool ParseLinkModel(const std::string& text, LinkModel* link, std::string* error);

}  // namespace sim
