// ALSA sequencer output ports, through alsa-lib: one client of the tool's
// own that sends from one port and hears the System Announce port on another.
#pragma once

#include "port_list.h"

#include "midi/midi_out_service.h"
#include "midi/short_message.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrelle::midi::backend {

// So that a stand-in can drive the output where no sequencer exists.
class AlsaSequencer {
public:
    enum class Failure { none, portGone, noMemory, other };
    virtual ~AlsaSequencer() = default;
    // "client:port 14:0" of each port that accepts MIDI now.
    virtual std::vector<std::string> portNames() = 0;
    // Connects to the port at that place of the list read last.
    virtual Failure openPort(unsigned port) = 0;
    virtual Failure sendMessage(const unsigned char* bytes, std::size_t size) = 0;
    virtual void closePort() = 0;
    // Readable when the system's ports change; -1 for none.
    virtual int descriptor() { return -1; }
    // Reads all announcements waiting: whether one said the open port left.
    virtual bool readAnnouncementsForOpenPortLeft() { return false; }
};

// A client of the machine's sequencer, with ALSA's library kept from
// printing: 0; 6 when there is no sequencer; 7 when memory ran out.
int connectAlsaSequencer(std::unique_ptr<AlsaSequencer>& sequencer);

// Connected when first needed; never waits, as the sequencer answers at once.
class AlsaClient {
public:
    using Connect = std::function<int(std::unique_ptr<AlsaSequencer>&)>;

    explicit AlsaClient(Connect connect) : connect_(std::move(connect)) {}

    std::vector<std::string> portNames();
    // Opens the port enumerated as `entry` wherever it is now, never another.
    int open(const PortEntry& entry);
    int send(std::span<const ShortMessageBytes> messages);
    int close();
    bool connected() const { return sequencer_ != nullptr; }
    int descriptor() { return sequencer_ ? sequencer_->descriptor() : -1; }
    bool readAnnouncementsForOpenPortLeft() { return sequencer_ && sequencer_->readAnnouncementsForOpenPortLeft(); }

private:
    static int resultOf(AlsaSequencer::Failure failure);
    int connect();

    Connect connect_;
    std::unique_ptr<AlsaSequencer> sequencer_;
};

std::unique_ptr<MidiOutService> createSystemMidiOutService(AlsaClient::Connect connect);

}  // namespace tavrelle::midi::backend
