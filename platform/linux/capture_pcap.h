// Shared by the libpcap device objects (live capture and replay).
#pragma once

#include <pcap/pcap.h>

#include "device_objects.h"

// pcap_dispatch's user data: the block being filled and the frames carried to the next one.
struct PcapFill {
    BlockWriter* block;
    CarriedFrames* carried;
    pcap_t* pcap;
    bool full;  // a frame did not fit: the rest of this dispatch is carried and the loop broken off
};

// pcap_dispatch callback: the frame (cut to 65,535 bytes) goes into the block, or, once the block is full, to
// the carried frames; a frame that does not fit even an empty block is cut to fit it.
void TakePcapFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes);
