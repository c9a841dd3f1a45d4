// The peripheral's answers to the negotiation requests, and its IEEE 1284 Device ID.
//
// The ID is read with the transfers the link already has, never a copy of them: the FIFO read
// with its finish, the software read, or the nibble read, each called once for as much as the
// largest ID there may be, so the read ends when the peripheral stops sending (the FIFO read one
// expiry later, 100 ms; the software read one failed wait, 30 to 40 ms; the nibble read at once,
// on nDataAvail). Reading the length first and then exactly that much was rejected: the FIFO read
// may not be called twice without its finish between, and a length that lies would go unseen.
// Nothing that arrives is trusted: the length field must lie in range, and exactly that many
// bytes must have come, no fewer and no more.
//
// The FIFO read keeps the bytes its FIFO pulled beyond the request for the next read of the
// process (the surplus store). An ID read must neither hand out data bytes waiting there as ID
// bytes, nor leave ID bytes behind for the next READ. So the FIFO path is taken only while the
// store is empty (otherwise the ID goes by the software handshake, which never touches it), and
// whatever the store holds after the ID read's finish came from the ID stream: bytes there mean
// the stream went on past the largest ID, and they are cleared.
#include <cstring>

#include "ieee1284/ieee1284.h"

namespace {

// In ECP FIFO mode the port hardware drives HostClk and HostAck, so a negotiation's events 1, 3
// and 4 would never reach the wire: the ECR goes to PS/2 mode first, once the last bytes of a
// WRITE have left its FIFO.
void quiet_port(struct port_data *port) {
    if (!port->priv->ecr_present)
        return;
    if (lp_fifo_write_end(port) == 0)
        lp_ecr_set_mode(port, 0x20);  // PS/2 whatever mode the FIFO was left in
}

// A failed negotiation has terminated already; terminating again would only wait out an event
// 24 that a peripheral in compatibility mode never sends.
void end_mode(struct port_data *port) {
    if (port->mode != LP_MODE_COMPAT)
        lp_terminate(port);
}

lp_mode_answer ask(struct port_data *port, int32_t mode) {
    const int32_t r = lp_negotiate(port, mode);
    const int end = lp_negotiation_end();
    const int32_t missing = end == LP_NEG_NO_EVENT2    ? 2
                            : end == LP_NEG_NO_EVENT6  ? 6
                            : end == LP_NEG_NO_EVENT31 ? 31
                                                       : 0;
    const int32_t answer = r == 0 ? LP_ANSWER_ACCEPTED : missing ? LP_ANSWER_SILENT : LP_ANSWER_REFUSED;
    return {mode, answer, missing};
}

// One way of moving the ID's bytes: one read call (the FIFO read must be followed by its finish
// before it is called again), then finish, which ends the reverse transfer and says whether the
// peripheral still had more to send.
struct id_path {
    int32_t via;
    uint64_t (*read)(struct port_data *port, uint8_t *buf, uint64_t len);
    bool (*finish)(struct port_data *port);
};

bool fifo_finish(struct port_data *port) {
    lp_fifo_read_finish(port);
    const bool more = lp_fifo_surplus() > 0;
    lp_fifo_surplus_clear();  // the store was empty before: all of it is the ID stream's
    return more;
}

bool software_finish(struct port_data *port) {
    // Another byte presented (PeriphClk low, event 43) within a fast poll: the stream goes on.
    const bool more = lp_poll_status(port, 0x40, 0x00, port->spin_us) == 0;
    if (port->phase != LP_PH_FWD_IDLE)
        lp_ecp_to_forward(port);  // the termination of an ID code does not turn the link itself
    return more;
}

bool nibble_finish(struct port_data *port) { return !(lp_read_status(port) & 0x08); }  // nDataAvail low

constexpr id_path kFifo = {LP_ID_VIA_FIFO, lp_fifo_read_block, fifo_finish};
constexpr id_path kSoftware = {LP_ID_VIA_SOFTWARE, lp_ecp_read_data, software_finish};
constexpr id_path kNibble = {LP_ID_VIA_NIBBLE, lp_nibble_read, nibble_finish};

// The whole stream, up to the largest ID there may be, on a link that accepted an ID request;
// the read ends when the peripheral stops sending. Only then is the length field believed, and
// only if exactly that many bytes came.
int32_t read_id(struct port_data *port, const id_path &path, struct lp_device_id *id) {
    id->via = path.via;
    uint8_t stream[LP_DEVICE_ID_MAX + 2];
    const uint64_t n = path.read(port, stream, sizeof stream);
    const bool more = path.finish(port);
    if (n < 2)
        return LP_ID_NO_DATA;
    id->length = uint32_t(stream[0]) << 8 | stream[1];
    id->received = uint32_t(n - 2);
    if (id->length < 3 || id->length > sizeof stream)
        return LP_ID_BAD_LENGTH;
    if (n < id->length)
        return LP_ID_SHORT;
    if (n > id->length || more)
        return LP_ID_LONG;
    std::memcpy(id->text, stream + 2, id->length - 2);
    return LP_ID_OK;
}

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool key_is(const char *key, size_t len, const char *name) {
    if (std::strlen(name) != len)
        return false;
    for (size_t i = 0; i < len; i++)
        if ((key[i] >= 'a' && key[i] <= 'z' ? key[i] - 32 : key[i]) != name[i])
            return false;
    return true;
}

// Blanks trimmed from both ends, control characters left out, cut to the field's size.
void keep_value(const char *v, size_t len, char *field) {
    while (len && is_blank(static_cast<unsigned char>(v[0]))) {
        v++;
        len--;
    }
    while (len && is_blank(static_cast<unsigned char>(v[len - 1])))
        len--;
    size_t n = 0;
    for (size_t i = 0; i < len && n < LP_DEVICE_ID_MAX; i++) {
        const unsigned char c = static_cast<unsigned char>(v[i]);
        if (c >= 0x20 && c != 0x7F)
            field[n++] = char(c);
    }
    field[n] = 0;
}

}  // namespace

extern "C" {

void lp_mode_answers(struct port_data *port, int device_id, struct lp_mode_answer out[LP_NANSWERS]) {
    port = port->phys;
    static constexpr int32_t kModes[LP_NANSWERS] = {LP_MODE_NIBBLE, LP_MODE_BYTE, LP_MODE_ECP};
    quiet_port(port);
    for (int i = 0; i < LP_NANSWERS; i++)
        out[i] = ask(port, kModes[i] | (device_id ? LP_MODE_DEVICE_ID : 0));
    end_mode(port);
}

const char *lp_answer_text(const struct lp_mode_answer *answer) {
    switch (answer->answer) {
    case LP_ANSWER_ACCEPTED: return "accepted";
    case LP_ANSWER_REFUSED: return "refused";
    default:
        return answer->event == 2 ? "no answer at event 2" : answer->event == 31 ? "no answer at event 31" : "no answer at event 6";
    }
}

int32_t lp_device_id_read(struct port_data *port, int use_fifo, struct lp_device_id *id) {
    port = port->phys;
    std::memset(id, 0, sizeof *id);
    quiet_port(port);
    id->ecp = ask(port, LP_MODE_ECP | LP_MODE_DEVICE_ID);
    if (id->ecp.answer == LP_ANSWER_ACCEPTED) {
        const bool fifo = use_fifo && port->priv->ecr_present && lp_fifo_surplus() == 0;
        id->status = read_id(port, fifo ? kFifo : kSoftware, id);
    } else if (id->ecp.event == 2) {
        id->status = LP_ID_NO_PERIPHERAL;  // nobody there: nibble mode would not be answered either
    } else {
        id->nibble = ask(port, LP_MODE_NIBBLE | LP_MODE_DEVICE_ID);
        if (id->nibble.answer == LP_ANSWER_ACCEPTED)
            id->status = read_id(port, kNibble, id);
        else
            id->status = id->nibble.event == 2 ? LP_ID_NO_PERIPHERAL : LP_ID_REFUSED;
    }
    end_mode(port);
    if (id->status != LP_ID_OK)
        std::memset(id->text, 0, sizeof id->text);  // never trusted: nobody sees a part of it
    return id->status;
}

const char *lp_id_status_text(int32_t status) {
    switch (status) {
    case LP_ID_OK: return "ok";
    case LP_ID_NO_PERIPHERAL: return "no answer at event 2 (no IEEE 1284 peripheral)";
    case LP_ID_REFUSED: return "the Device ID requests were refused";
    case LP_ID_NO_DATA: return "the Device ID request was accepted, but no length came";
    case LP_ID_BAD_LENGTH: return "length field out of range";
    case LP_ID_SHORT: return "fewer bytes than the length field promised";
    case LP_ID_LONG: return "more bytes than the length field said";
    default: return "unknown";
    }
}

int lp_device_id_parse(const char *id, size_t len, struct lp_id_fields *out) {
    std::memset(out, 0, sizeof *out);
    struct key {
        const char *name, *alias;
        char *field;
    };
    const key keys[] = {
        {"MFG", "MANUFACTURER", out->mfg}, {"MDL", "MODEL", out->mdl}, {"CMD", "COMMAND SET", out->cmd},
        {"CLS", "CLASS", out->cls},        {"DES", "DESCRIPTION", out->des},
    };
    bool seen[5] = {};
    int found = 0;
    size_t at = 0;
    while (at < len) {
        size_t end = at;
        while (end < len && id[end] != ';')
            end++;
        // key:value, split at the first colon; an entry without one is not a field.
        size_t colon = at;
        while (colon < end && id[colon] != ':')
            colon++;
        if (colon < end) {
            const char *k = id + at;
            size_t klen = colon - at;
            while (klen && is_blank(static_cast<unsigned char>(k[0]))) {
                k++;
                klen--;
            }
            while (klen && is_blank(static_cast<unsigned char>(k[klen - 1])))
                klen--;
            for (int i = 0; i < 5; i++) {
                if (!seen[i] && (key_is(k, klen, keys[i].name) || key_is(k, klen, keys[i].alias))) {
                    keep_value(id + colon + 1, end - colon - 1, keys[i].field);
                    seen[i] = true;
                    found++;
                }
            }
        }
        at = end + 1;
    }
    return found;
}

}  // extern "C"
