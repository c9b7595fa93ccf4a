#include "engine/inflate_index.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace tavmerk {

namespace {

constexpr size_t input_chunk = 64 * 1024;
constexpr uint64_t zlib_header_size = 2;

// A zlib header that raw inflate may skip: deflate, no preset dictionary.
bool plain_zlib_header(const uint8_t* h)
{
    return (h[0] & 0x0F) == 8 && (h[0] >> 4) <= 7 && (h[1] & 0x20) == 0 && (unsigned(h[0]) << 8 | h[1]) % 31 == 0;
}

}  // namespace

// One pass of raw inflate from a checkpoint, output going round a window of
// window_size bytes, which is what a checkpoint taken on the way keeps.
class InflateIndex::Inflater {
public:
    Inflater() { std::memset(&strm_, 0, sizeof strm_); }
    ~Inflater()
    {
        if (ready_)
            inflateEnd(&strm_);
    }

    bool start(const ReadStream& read, uint64_t stream_size, const Checkpoint& from)
    {
        read_ = &read;
        stream_size_ = stream_size;
        if (inflateInit2(&strm_, -15) != Z_OK)
            return false;
        ready_ = true;
        in_ = from.in;
        out_ = from.out;
        adler_ = from.adler;
        if (from.bits) {
            uint8_t byte = 0;
            if (from.in == 0 || !read(from.in - 1, &byte, 1))
                return false;
            inflatePrime(&strm_, from.bits, byte >> (8 - from.bits));
        }
        const size_t history = size_t(std::min<uint64_t>(from.out, window_size));
        if (history > 0) {
            std::memcpy(window_.get() + window_size - history, from.window.get() + window_size - history, history);
            if (inflateSetDictionary(&strm_, window_.get() + window_size - history, uInt(history)) != Z_OK)
                return false;
        }
        filled_ = history;
        at_ = 0;
        return true;
    }

    // Inflates until the output reaches `stop` or the stream ends; output
    // in [copy_from, copy_from + room) goes to `dest`. `boundary` is kept
    // as the last block boundary passed. False on damage or a read failure.
    bool run(uint64_t stop, uint64_t copy_from, uint8_t* dest, size_t room, Checkpoint& boundary, bool& ended)
    {
        ended = false;
        while (out_ < stop) {
            if (strm_.avail_in == 0 && !fill())
                return false;
            if (at_ == window_size)
                at_ = 0;
            const size_t want = size_t(std::min<uint64_t>(window_size - at_, stop - out_));
            strm_.next_out = window_.get() + at_;
            strm_.avail_out = uInt(want);
            const uInt before_in = strm_.avail_in;
            const int ret = inflate(&strm_, Z_BLOCK);
            const size_t produced = want - strm_.avail_out;
            in_ += before_in - strm_.avail_in;
            copy_out(produced, copy_from, dest, room);
            adler_ = uint32_t(adler32(adler_, window_.get() + at_, uInt(produced)));
            at_ += produced;
            out_ += produced;
            filled_ = std::min(window_size, filled_ + produced);
            if (ret == Z_STREAM_END) {
                ended = true;
                return trailer_holds();
            }
            if (ret != Z_OK && !(ret == Z_BUF_ERROR && strm_.avail_in == 0))
                return false;
            if ((strm_.data_type & 128) && !(strm_.data_type & 64))
                snapshot(boundary);
        }
        return true;
    }

    uint64_t out() const { return out_; }

    // After the last byte of output: the stream must end here, and its
    // Adler-32 hold.
    bool finish()
    {
        for (;;) {
            if (strm_.avail_in == 0 && !fill())
                return false;
            uint8_t extra = 0;
            strm_.next_out = &extra;
            strm_.avail_out = 1;
            const uInt before_in = strm_.avail_in;
            const int ret = inflate(&strm_, Z_BLOCK);
            in_ += before_in - strm_.avail_in;
            if (strm_.avail_out == 0)
                return false;  // more data than the record's size
            if (ret == Z_STREAM_END)
                return trailer_holds();
            if (ret != Z_OK && ret != Z_BUF_ERROR)
                return false;
        }
    }

private:
    // The zlib trailer after the deflate data: the output's Adler-32.
    bool trailer_holds() const
    {
        uint8_t trailer[4];
        return in_ + 4 <= stream_size_ && (*read_)(in_, trailer, 4) &&
               (uint32_t(trailer[0]) << 24 | uint32_t(trailer[1]) << 16 | uint32_t(trailer[2]) << 8 | trailer[3]) ==
                   adler_;
    }

    bool fill()
    {
        if (in_ >= stream_size_)
            return false;  // the stream ends before its data does
        const size_t n = size_t(std::min<uint64_t>(input_chunk, stream_size_ - in_));
        if (!(*read_)(in_, input_, n))
            return false;
        strm_.next_in = input_;
        strm_.avail_in = uInt(n);
        return true;
    }

    void copy_out(size_t produced, uint64_t copy_from, uint8_t* dest, size_t room)
    {
        const uint64_t begin = std::max(out_, copy_from);
        const uint64_t end = std::min(out_ + produced, copy_from + room);
        if (begin < end)
            std::memcpy(dest + (begin - copy_from), window_.get() + at_ + (begin - out_), size_t(end - begin));
    }

    // The window linearised: its bytes in output order, ending at out_.
    void snapshot(Checkpoint& point) const
    {
        point.in = in_;
        point.bits = strm_.data_type & 7;
        point.out = out_;
        point.adler = adler_;
        if (!point.window)
            point.window.reset(new uint8_t[window_size]);
        const size_t tail = window_size - at_;  // older bytes, after the write position
        std::memcpy(point.window.get(), window_.get() + at_, tail);
        std::memcpy(point.window.get() + tail, window_.get(), at_);
    }

    z_stream strm_;
    bool ready_ = false;
    const ReadStream* read_ = nullptr;
    uint64_t stream_size_ = 0;
    uint64_t in_ = 0;
    uint64_t out_ = 0;
    uint32_t adler_ = 1;
    size_t at_ = 0;      // write position in the window
    size_t filled_ = 0;  // valid bytes in the window
    std::unique_ptr<uint8_t[]> window_{new uint8_t[window_size]()};
    uint8_t input_[input_chunk];
};

InflateIndex::InflateIndex(uint64_t stream_size, uint64_t expanded_size, size_t span)
    : stream_size_(stream_size), expanded_size_(expanded_size), span_(span)
{
    points_.resize(size_t(spans() > 0 ? spans() : 1));
    auto first = std::make_unique<Checkpoint>();
    first->in = zlib_header_size;
    first->window.reset(new uint8_t[window_size]());
    points_[0] = std::move(first);
    known_ = 1;
}

void InflateIndex::mark_damaged()
{
    MutexLock lock(mutex_);
    damaged_ = true;
}

uint64_t InflateIndex::start_for(uint64_t k, Checkpoint& copy) const
{
    MutexLock lock(mutex_);
    if (damaged_)
        return damaged_span;
    uint64_t j = k;
    while (!points_[size_t(j)])
        --j;
    const Checkpoint& point = *points_[size_t(j)];
    copy.in = point.in;
    copy.bits = point.bits;
    copy.out = point.out;
    copy.adler = point.adler;
    if (!copy.window)
        copy.window.reset(new uint8_t[window_size]);
    std::memcpy(copy.window.get(), point.window.get(), window_size);
    return j;
}

void InflateIndex::record(uint64_t k, const Checkpoint& point)
{
    MutexLock lock(mutex_);
    if (k >= points_.size() || points_[size_t(k)])
        return;
    auto copy = std::make_unique<Checkpoint>();
    copy->in = point.in;
    copy->bits = point.bits;
    copy->out = point.out;
    copy->adler = point.adler;
    copy->window.reset(new uint8_t[window_size]);
    std::memcpy(copy->window.get(), point.window.get(), window_size);
    points_[size_t(k)] = std::move(copy);
    ++known_;
}

size_t InflateIndex::memory() const
{
    MutexLock lock(mutex_);
    return known_ * (window_size + sizeof(Checkpoint)) + points_.size() * sizeof(points_[0]);
}

bool InflateIndex::inflate_span(const ReadStream& read, uint64_t k, uint8_t* dest, size_t& length)
{
    length = 0;
    if (k >= spans())
        return k == 0 && expanded_size_ == 0;
    uint8_t header[zlib_header_size];
    if (stream_size_ < zlib_header_size || !read(0, header, zlib_header_size) || !plain_zlib_header(header))
        return false;
    Checkpoint from;
    uint64_t j = start_for(k, from);
    if (j == damaged_span)
        return false;
    Inflater inflater;
    if (!inflater.start(read, stream_size_, from))
        return false;
    const uint64_t begin = k * span_;
    const uint64_t end = std::min<uint64_t>(begin + span_, expanded_size_);
    Checkpoint boundary;
    boundary.in = from.in;
    boundary.bits = from.bits;
    boundary.out = from.out;
    boundary.adler = from.adler;
    boundary.window = std::move(from.window);
    // Marks at every span start after the checkpoint: the last boundary
    // passed before each is that span's checkpoint.
    bool ended = false;
    for (uint64_t mark = (j + 1) * span_;; mark += span_) {
        const uint64_t stop = std::min(mark, end);
        if (!inflater.run(stop, begin, dest, size_t(end - begin), boundary, ended)) {
            if (ended)
                mark_damaged();
            return false;
        }
        if (inflater.out() == mark)
            record(mark / span_, boundary);
        if (ended || inflater.out() >= end)
            break;
    }
    if (inflater.out() < end)
        return false;  // the stream ended early
    if (end == expanded_size_ && !ended && !inflater.finish()) {
        mark_damaged();
        return false;
    }
    length = size_t(end - begin);
    return true;
}

}  // namespace tavmerk
