// The frequency maps (FREQ0003), as OpenUtau's Frq.cs and UTAU-style
// resamplers read them: all little-endian,
//   0  "FREQ0003"
//   8  int32   samples per frame
//   12 double  the average F0 of the voiced frames
//   20 16 bytes of zeros
//   36 int32   frames
//   40 per frame: double F0 in Hz (0: unvoiced), double amplitude

#include "bank/bank.h"

#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char frq_tag[] = "FREQ0003";
constexpr size_t frq_header_size = 40;
constexpr size_t frq_frame_size = 16;

static_assert(std::endian::native == std::endian::little, "the map is written as the machine holds it");

void put_int32(uint8_t* p, int32_t v)
{
    memcpy(p, &v, sizeof v);
}

void put_double(uint8_t* p, double v)
{
    memcpy(p, &v, sizeof v);
}

} // namespace

int bank_frq_name(const char* wav, char* out, size_t size)
{
    // The extension starts at the last dot after the last folder mark.
    const char* slash = strrchr(wav, '/');
    const char* dot = strrchr(slash ? slash : wav, '.');
    const size_t stem = dot ? static_cast<size_t>(dot - wav) : strlen(wav);
    const char* extension = dot ? dot + 1 : "";
    const size_t length = stem + (dot ? 1 + strlen(extension) : 0) + strlen(".frq");
    if (length >= size)
        return bank_no_room;
    memcpy(out, wav, stem);
    char* o = out + stem;
    if (dot) {
        *o++ = '_';
        memcpy(o, extension, strlen(extension));
        o += strlen(extension);
    }
    memcpy(o, ".frq", 5);
    return static_cast<int>(length);
}

int bank_frq(const int16_t* samples, size_t count, double f0, const bank_span* spans, size_t span_count,
             bank_bytes* out)
{
    *out = {nullptr, 0};
    if (!(f0 > 0) || f0 > 1e6 || count / bank_frq_hop >= INT32_MAX)
        return bank_bad_input;
    for (size_t s = 0; s < span_count; ++s) {
        const bool after_last = s == 0 || spans[s].start >= spans[s - 1].end;
        if (spans[s].start >= spans[s].end || spans[s].end > count || !after_last)
            return bank_bad_input;
    }
    const size_t hop = bank_frq_hop;
    // Every sample in a frame, and one more frame for what remains after
    // the last whole one (none when the count is a multiple of the hop):
    // the count OpenUtau's own builder writes.
    const size_t frames = count / hop + 1;
    const size_t size = frq_header_size + frq_frame_size * frames;
    uint8_t* b = static_cast<uint8_t*>(calloc(size, 1));
    if (b == nullptr)
        return bank_no_memory;

    bool any_voiced = false;
    size_t span = 0;
    for (size_t i = 0; i < frames; ++i) {
        const size_t begin = i * hop;
        const size_t end = begin + hop < count ? begin + hop : count;
        int64_t sum = 0;
        for (size_t k = begin; k < end; ++k)
            sum += samples[k] < 0 ? -int64_t{samples[k]} : int64_t{samples[k]};
        // Voiced samples in the frame; spans that end before it are done.
        while (span < span_count && spans[span].end <= begin)
            ++span;
        size_t voiced = 0;
        for (size_t s = span; s < span_count && spans[s].start < end; ++s) {
            const size_t from = spans[s].start > begin ? spans[s].start : begin;
            const size_t to = spans[s].end < end ? spans[s].end : end;
            voiced += to - from;
        }
        const size_t length = end - begin;
        const bool is_voiced = 2 * voiced > length;
        any_voiced = any_voiced || is_voiced;
        uint8_t* frame = b + frq_header_size + frq_frame_size * i;
        put_double(frame, is_voiced ? f0 : 0.0);
        put_double(frame + 8, length ? static_cast<double>(sum) / static_cast<double>(length) : 0.0);
    }

    memcpy(b, frq_tag, 8);
    put_int32(b + 8, bank_frq_hop);
    // Every voiced frame holds f0, so their mean is f0 itself.
    put_double(b + 12, any_voiced ? f0 : 0.0);
    put_int32(b + 36, static_cast<int32_t>(frames));
    *out = {b, size};
    return bank_ok;
}
