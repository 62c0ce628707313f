#include "alsa_output.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <new>
#include <optional>
#include <utility>

namespace tavrelle::midi::backend {

namespace {

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

class AlsaLibSequencer final : public AlsaSequencer {
public:
    AlsaLibSequencer(snd_seq_t* seq, snd_midi_event_t* encoder) : seq_(seq), encoder_(encoder)
    {
        snd_seq_set_client_name(seq_, "tavrelle");
        out_ = snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        // Where the sequencer announces ports and clients that come, go and
        // change; nobody else may connect to it.
        const int announcements = snd_seq_create_simple_port(
            seq_, "announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, SND_SEQ_PORT_TYPE_APPLICATION);
        if (announcements >= 0) {
            snd_seq_connect_from(seq_, announcements, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        }
        pollfd descriptor{};
        if (snd_seq_poll_descriptors(seq_, &descriptor, 1, POLLIN) == 1) {
            descriptor_ = descriptor.fd;
        }
    }
    ~AlsaLibSequencer() override
    {
        snd_midi_event_free(encoder_);
        snd_seq_close(seq_);
    }
    AlsaLibSequencer(const AlsaLibSequencer&) = delete;
    AlsaLibSequencer& operator=(const AlsaLibSequencer&) = delete;

    std::vector<std::string> portNames() override
    {
        ports_.clear();
        std::vector<std::string> names;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
        const unsigned midi = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;
        while (snd_seq_query_next_client(seq_, client) >= 0) {
            const int id = snd_seq_client_info_get_client(client);
            if (id == snd_seq_client_id(seq_)) {
                continue;
            }
            snd_seq_port_info_set_client(port, id);
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq_, port) >= 0) {
                if ((snd_seq_port_info_get_capability(port) & writable) != writable ||
                    (snd_seq_port_info_get_type(port) & midi) == 0) {
                    continue;
                }
                ports_.push_back(*snd_seq_port_info_get_addr(port));
                names.push_back(std::string(snd_seq_client_info_get_name(client)) + ":" +
                                snd_seq_port_info_get_name(port) + " " + std::to_string(id) + ":" +
                                std::to_string(snd_seq_port_info_get_port(port)));
            }
        }
        return names;
    }
    Failure openPort(unsigned port) override
    {
        if (port >= ports_.size()) {
            return Failure::portGone;
        }
        const snd_seq_addr_t target = ports_[port];
        if (const int connected = snd_seq_connect_to(seq_, out_, target.client, target.port); connected < 0) {
            return connected == -ENOENT || connected == -ENXIO ? Failure::portGone
                   : connected == -ENOMEM                      ? Failure::noMemory
                                                               : Failure::other;
        }
        open_ = target;
        return Failure::none;
    }
    Failure sendMessage(const unsigned char* bytes, std::size_t size) override
    {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_midi_event_reset_encode(encoder_);
        if (snd_midi_event_encode(encoder_, bytes, static_cast<long>(size), &event) != static_cast<long>(size) ||
            event.type == SND_SEQ_EVENT_NONE) {
            return Failure::other;
        }
        snd_seq_ev_set_source(&event, static_cast<unsigned char>(out_));
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        return snd_seq_event_output_direct(seq_, &event) < 0 ? Failure::other : Failure::none;
    }
    // A port that left took its connection along; the disconnect then fails.
    void closePort() override
    {
        if (open_) {
            snd_seq_disconnect_to(seq_, out_, open_->client, open_->port);
        }
        open_.reset();
    }
    int descriptor() override { return descriptor_; }
    // Reads everything, so that the descriptor is quiet until the next news;
    // an overrun (-ENOSPC) only lost news, and reading goes on.
    bool readAnnouncementsForOpenPortLeft() override
    {
        bool left = false;
        snd_seq_event_t* event = nullptr;
        for (int read; (read = snd_seq_event_input(seq_, &event)) >= 0 || read == -ENOSPC;) {
            if (read < 0 || event == nullptr || !open_) {
                continue;
            }
            const snd_seq_addr_t& gone = event->data.addr;
            const bool portLeft = event->type == SND_SEQ_EVENT_PORT_EXIT && gone.port == open_->port;
            const bool clientLeft = event->type == SND_SEQ_EVENT_CLIENT_EXIT;
            left = left || (gone.client == open_->client && (portLeft || clientLeft));
        }
        return left;
    }

private:
    snd_seq_t* seq_;
    snd_midi_event_t* encoder_;
    int out_ = -1;
    int descriptor_ = -1;
    std::vector<snd_seq_addr_t> ports_;
    std::optional<snd_seq_addr_t> open_;
};

}  // namespace

int connectAlsaSequencer(std::unique_ptr<AlsaSequencer>& sequencer)
{
    snd_lib_error_set_handler(&ignoreAlsaMessage);
    snd_seq_t* seq = nullptr;
    if (const int opened = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK); opened < 0) {
        return opened == -ENOMEM ? result::kNoMemory : result::kNoDriver;
    }
    snd_midi_event_t* encoder = nullptr;
    if (snd_midi_event_new(16, &encoder) < 0) {
        snd_seq_close(seq);
        return result::kNoMemory;
    }
    try {
        sequencer = std::make_unique<AlsaLibSequencer>(seq, encoder);
    } catch (const std::bad_alloc&) {
        snd_midi_event_free(encoder);
        snd_seq_close(seq);
        return result::kNoMemory;
    }
    return result::kNoError;
}

int AlsaClient::resultOf(AlsaSequencer::Failure failure)
{
    switch (failure) {
    case AlsaSequencer::Failure::none: return result::kNoError;
    case AlsaSequencer::Failure::portGone: return result::kBadDeviceId;
    case AlsaSequencer::Failure::noMemory: return result::kNoMemory;
    case AlsaSequencer::Failure::other: break;
    }
    return result::kError;
}

int AlsaClient::connect()
{
    return sequencer_ ? result::kNoError : connect_(sequencer_);
}

std::vector<std::string> AlsaClient::portNames()
{
    return connect() == result::kNoError ? sequencer_->portNames() : std::vector<std::string>{};
}

int AlsaClient::open(const PortEntry& entry)
{
    if (const int connected = connect(); connected != result::kNoError) {
        return connected;
    }
    close();
    const auto index = findAlsaPort(sequencer_->portNames(), entry);
    if (!index) {
        return resultOf(AlsaSequencer::Failure::portGone);
    }
    return resultOf(sequencer_->openPort(static_cast<unsigned>(*index)));
}

int AlsaClient::send(std::span<const ShortMessageBytes> messages)
{
    for (const ShortMessageBytes& message : messages) {
        if (const auto failure = sequencer_->sendMessage(message.bytes.data(), message.size);
            failure != AlsaSequencer::Failure::none) {
            return resultOf(failure);
        }
    }
    return result::kNoError;
}

int AlsaClient::close()
{
    sequencer_->closePort();
    return result::kNoError;
}

}  // namespace tavrelle::midi::backend
