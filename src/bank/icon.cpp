// The voicebank's icon: a waveform across a disc of the voice's colour, and a
// dot per pitch of a bank of several.

#include "bank/bank.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// BITMAPFILEHEADER (14 bytes) then BITMAPINFOHEADER (40 bytes), then the
// rows, bottom row first, each B G R per pixel and padded to 4 bytes.
constexpr size_t file_header_size = 14;
constexpr size_t info_header_size = 40;
constexpr size_t row_size = (bank_icon_size * 3 + 3) / 4 * 4;
constexpr size_t pixel_bytes = row_size * bank_icon_size;
constexpr size_t bmp_size = file_header_size + info_header_size + pixel_bytes;
// 72 dots per inch, as pixels per metre.
constexpr uint32_t pixels_per_metre = 2835;

// Each pixel is the mean of 4 x 4 points, which smooths the edges.
constexpr int grid = 4;

// The drawing, in pixels from the top left corner.
constexpr double centre = 50, radius = 46;
constexpr double wave_left = 14, wave_right = 86;  // the waveform's envelope
constexpr double line_left = 10, line_right = 90;  // the trace, flat beyond it
constexpr double amplitude = 26, half_width = 3.2;
constexpr double highlight_x = 32, highlight_y = 28, shade_reach = 80;

// A bank of several pitches: a dot per pitch under the waveform, at most
// this far apart and spread over at most this width around the centre
// (smaller when they are many), each between these heights (C2 lowest, C5
// highest): clear of the trace above and inside the disc.
constexpr double marks_width = 28, mark_spacing = 10, mark_radius = 3.5;
constexpr double mark_low = 89.5, mark_high = 86;

const uint8_t grey[3] = {0x70, 0x70, 0x70};

// Each voice's look: the emblem's colour (R G B) and the periods of its
// waveform; a grey disc for a voice the program says nothing about.
const bank_icon_style styles[] = {
    {"espeak", {0x1F, 0x6F, 0xB4}, 3},
    {"hts", {0xD2, 0x5A, 0x1E}, 4},
};

struct rgb {
    double r, g, b;
};

rgb mix(rgb a, rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// A period of a sine-like curve made of two parabolas: 1 at a quarter,
// -1 at three quarters.
double wave(double phase)
{
    const double f = phase - std::floor(phase);
    return f < 0.5 ? 16 * f * (0.5 - f) : -16 * (f - 0.5) * (1 - f);
}

// The trace's height at x: flat, then a waveform under the envelope
// (1 - u^2)^2, u from -1 to 1, which starts and ends flat.
double trace_y(double x, int cycles)
{
    if (x <= wave_left || x >= wave_right)
        return centre;
    const double span = wave_right - wave_left;
    const double u = (2 * x - wave_left - wave_right) / span;
    return centre - amplitude * (1 - u * u) * (1 - u * u) * wave(cycles * (x - wave_left) / span);
}

// The trace as a line through points this far apart in x.
constexpr double trace_step = 0.125;
constexpr int trace_points = static_cast<int>((line_right - line_left) / trace_step) + 1;

struct point {
    double x, y;
};

// The squared distance from p to the segment a-b.
double to_segment(point p, point a, point b)
{
    const double dx = b.x - a.x, dy = b.y - a.y;
    double t = ((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy);
    // Clamped to [0, 1]: no segment is a point, so t is a number; a -0
    // kept adds nothing below.
    t = t < 0.0 ? 0.0 : t > 1.0 ? 1.0 : t;
    const double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
    return ex * ex + ey * ey;
}

// The segments of the trace that may come within half_width of a point at
// x: those that start within reach in x.
void segments_near(double x, int* first, int* last)
{
    *first = static_cast<int>((x - half_width - line_left) / trace_step) - 1;
    *last = static_cast<int>((x + half_width - line_left) / trace_step) + 1;
    *first = *first < 0 ? 0 : *first;
    *last = *last > trace_points - 2 ? trace_points - 2 : *last;
}

// Where the stroke may be in a column of points: no point outside
// [low, high] lies on it, and only segments first to last come near. A
// point that far from every segment's heights is that far from the
// segment, and the margin keeps that so through the rounding of the
// distance.
struct band {
    double low, high;
    int first, last;
};

band stroke_band(double x, const point* trace)
{
    if (x < line_left - half_width || x > line_right + half_width)
        return {1, 0, 0, -1};  // none
    int first, last;
    segments_near(x, &first, &last);
    double low = trace[first].y, high = trace[first].y;
    for (int i = first + 1; i <= last + 1; ++i) {
        low = std::fmin(low, trace[i].y);
        high = std::fmax(high, trace[i].y);
    }
    constexpr double margin = 1e-6;
    return {low - half_width - margin, high + half_width + margin, first, last};
}

// Whether p, in the column of `near`, lies on the stroke: within
// half_width of the trace.
bool on_trace(point p, const point* trace, band near)
{
    if (p.y < near.low || p.y > near.high)
        return false;
    for (int i = near.first; i <= near.last; ++i) {
        if (to_segment(p, trace[i], trace[i + 1]) <= half_width * half_width)
            return true;
    }
    return false;
}

// The marks' centres.
struct marks {
    point at[bank_max_sets];
    int count;
    double radius;
};

marks place_marks(const int* notes, int count)
{
    marks m{};
    if (count < 2)
        return m;  // one pitch: the icon as it always was
    m.count = count < bank_max_sets ? count : bank_max_sets;
    const double spacing = (m.count - 1) * mark_spacing > marks_width ? marks_width / (m.count - 1) : mark_spacing;
    m.radius = spacing * 0.4 < mark_radius ? spacing * 0.4 : mark_radius;
    for (int i = 0; i < m.count; ++i) {
        const double height = double(notes[i] - note_lowest) / (note_highest - note_lowest);
        m.at[i] = {centre + (i - (m.count - 1) / 2.0) * spacing, mark_low + (mark_high - mark_low) * height};
    }
    return m;
}

bool on_mark(point p, const marks& m)
{
    for (int i = 0; i < m.count; ++i) {
        const double dx = p.x - m.at[i].x, dy = p.y - m.at[i].y;
        if (dx * dx + dy * dy <= m.radius * m.radius)
            return true;
    }
    return false;
}

rgb colour_at(double x, double y, rgb paper, rgb light, rgb dark, const point* trace, band near, const marks& m)
{
    const double from_centre = std::sqrt((x - centre) * (x - centre) + (y - centre) * (y - centre));
    if (from_centre > radius)
        return paper;
    if (on_trace({x, y}, trace, near) || on_mark({x, y}, m))
        return {255, 255, 255};
    const double from_light =
        std::sqrt((x - highlight_x) * (x - highlight_x) + (y - highlight_y) * (y - highlight_y));
    return mix(light, dark, std::fmin(1.0, from_light / shade_reach));
}

void put_le(uint8_t* p, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

int bank_icon(const char* voice, const int* notes, int note_count, bank_bytes* out)
{
    *out = {static_cast<uint8_t*>(calloc(bmp_size, 1)), 0};
    if (out->bytes == nullptr)
        return bank_no_memory;
    out->size = bmp_size;
    uint8_t* b = out->bytes;
    b[0] = 'B', b[1] = 'M';
    put_le(b + 2, bmp_size, 4);
    put_le(b + 10, file_header_size + info_header_size, 4);
    uint8_t* info = b + file_header_size;
    put_le(info + 0, info_header_size, 4);
    put_le(info + 4, bank_icon_size, 4);   // width
    put_le(info + 8, bank_icon_size, 4);   // height, positive: bottom row first
    put_le(info + 12, 1, 2);               // planes
    put_le(info + 14, 24, 2);              // bits per pixel
    put_le(info + 16, 0, 4);               // BI_RGB: not compressed
    put_le(info + 20, pixel_bytes, 4);
    put_le(info + 24, pixels_per_metre, 4);
    put_le(info + 28, pixels_per_metre, 4);

    const bank_icon_style* v = bank_find_icon_style(voice);
    const uint8_t* c = v ? v->colour : grey;
    const int cycles = v ? v->cycles : 3;
    const rgb colour = {double(c[0]), double(c[1]), double(c[2])};
    const rgb white = {255, 255, 255};
    const rgb paper = mix(colour, white, 0.88);
    const rgb light = mix(colour, white, 0.3);
    const rgb dark = mix(colour, {0, 0, 0}, 0.25);

    const marks m = place_marks(notes, note_count);
    point trace[trace_points];
    for (int i = 0; i < trace_points; ++i) {
        const double x = line_left + i * trace_step;
        trace[i] = {x, trace_y(x, cycles)};
    }

    // Each column of points' band, worked out once for every row.
    band bands[bank_icon_size * grid];
    for (int px = 0; px < bank_icon_size; ++px) {
        for (int i = 0; i < grid; ++i)
            bands[px * grid + i] = stroke_band(px + (i + 0.5) / grid, trace);
    }

    uint8_t* pixels = b + file_header_size + info_header_size;
    for (int py = 0; py < bank_icon_size; ++py) {
        uint8_t* row = pixels + row_size * static_cast<size_t>(bank_icon_size - 1 - py);
        for (int px = 0; px < bank_icon_size; ++px) {
            rgb sum = {0, 0, 0};
            for (int j = 0; j < grid; ++j) {
                for (int i = 0; i < grid; ++i) {
                    const rgb p = colour_at(px + (i + 0.5) / grid, py + (j + 0.5) / grid, paper, light, dark, trace,
                                            bands[px * grid + i], m);
                    sum = {sum.r + p.r, sum.g + p.g, sum.b + p.b};
                }
            }
            const double n = grid * grid;
            row[3 * px + 0] = static_cast<uint8_t>(std::fmin(255.0, sum.b / n + 0.5));
            row[3 * px + 1] = static_cast<uint8_t>(std::fmin(255.0, sum.g / n + 0.5));
            row[3 * px + 2] = static_cast<uint8_t>(std::fmin(255.0, sum.r / n + 0.5));
        }
    }
    return bank_ok;
}

const bank_icon_style* bank_find_icon_style(const char* voice)
{
    for (const bank_icon_style& s : styles) {
        if (strcmp(s.voice, voice) == 0)
            return &s;
    }
    return nullptr;
}
