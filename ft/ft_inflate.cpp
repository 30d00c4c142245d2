#include "ft/ft_inflate.h"

#include <string.h>

#include "ft/ft_checksum.h"

namespace {

const size_t kWindow = 32768;
const size_t kOutChunk = 65536;

}  // namespace

FtInflater::FtInflater() {
    memset(&_z, 0, sizeof(_z));
}

FtInflater::~FtInflater() {
    if (_zActive) inflateEnd(&_z);
}

void FtInflater::reset() {
    if (_zActive) inflateEnd(&_z);
    _zActive = false;
    memset(&_z, 0, sizeof(_z));
    _state = HEADER;
    _pendingCount = 0;
    _finalBlock = false;
    _storedLeft = 0;
    _adler = 1;
    _produced = 0;
    _window.clear();
    _pieces.clear();
    _problem.clear();
}

int FtInflater::fail(const std::string& why) {
    if (_state != FAILED) _problem = why;
    _state = FAILED;
    if (_zActive) inflateEnd(&_z);
    _zActive = false;
    return -1;
}

bool FtInflater::emit(const unsigned char* data, size_t n, const Sink& sink) {
    if (n == 0) return true;
    // A gzip stream's own check is zlib's; the zlib trailer is checked here.
    if (_state != GZIP) _adler = adler_continue(_adler, data, n);
    _produced += static_cast<long long>(n);
    return sink(data, n);
}

void FtInflater::keepWindow(const unsigned char* data, size_t n) {
    if (n >= kWindow) {
        _window.assign(data + n - kWindow, data + n);
        return;
    }
    if (_window.size() + n > kWindow) _window.erase(_window.begin(), _window.begin() + (_window.size() + n - kWindow));
    _window.insert(_window.end(), data, data + n);
}

int FtInflater::runZlib(const unsigned char** data, size_t* n, const Sink& sink) {
    if (_out.size() < kOutChunk) _out.resize(kOutChunk);
    for (;;) {
        _z.next_in = const_cast<unsigned char*>(*data);
        _z.avail_in = static_cast<uInt>(*n);
        _z.next_out = _out.data();
        _z.avail_out = static_cast<uInt>(_out.size());
        int rc = ::inflate(&_z, Z_NO_FLUSH);
        size_t used = *n - _z.avail_in;
        *data += used;
        *n -= used;
        size_t made = _out.size() - _z.avail_out;
        if (!emit(_out.data(), made, sink)) return fail("output refused");
        if (rc == Z_STREAM_END) {
            inflateEnd(&_z);
            _zActive = false;
            _state = _state == GZIP ? DONE : TRAILER;
            return 0;
        }
        if (rc == Z_NEED_DICT) return fail("corrupt compressed data: the stream asks for a preset dictionary");
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return fail(std::string("corrupt compressed data: ") + (_z.msg != nullptr ? _z.msg : "inflate failed"));
        // More output may wait only when the buffer was filled.
        if (_z.avail_out != 0 || (rc == Z_BUF_ERROR && made == 0)) return 0;
    }
}

int FtInflater::feed(const unsigned char* data, size_t n, const Sink& sink) {
    if (_state == FAILED) return -1;
    _pieces.clear();
    // Keeps the tail of this feed's stored output for a compressed block
    // that may follow (its pieces lie in the caller's input).
    auto keepPieces = [this]() {
        size_t total = 0;
        size_t first = _pieces.size();
        while (first > 0 && total < kWindow) total += _pieces[--first].second;
        for (size_t i = first; i < _pieces.size(); i++) {
            const auto& p = _pieces[i];
            size_t skip = i == first && total > kWindow ? total - kWindow : 0;
            keepWindow(p.first + skip, p.second - skip);
        }
        _pieces.clear();
    };
    while (n > 0) {
        switch (_state) {
        case HEADER: {
            _pending[_pendingCount++] = *data++;
            n--;
            if (_pendingCount < 2) break;
            _pendingCount = 0;
            const unsigned cmf = _pending[0], flg = _pending[1];
            if (cmf == 0x1f && flg == 0x8b) {
                // gzip: zlib takes the whole stream, header included.
                if (inflateInit2(&_z, 15 + 32) != Z_OK) return fail("unable to initialise the inflater");
                _zActive = true;
                _state = GZIP;
                const unsigned char* head = _pending;
                size_t headLength = 2;
                if (runZlib(&head, &headLength, sink) != 0) return -1;
                break;
            }
            if (((cmf << 8) | flg) % 31 != 0) return fail("corrupt compressed data: incorrect header check");
            if ((cmf & 0x0f) != Z_DEFLATED) return fail("corrupt compressed data: unknown compression method");
            if ((cmf >> 4) + 8 > 15) return fail("corrupt compressed data: invalid window size");
            // A preset dictionary's id follows; like zlib, refuse once it came.
            _state = (flg & 0x20) != 0 ? DICTIONARY_ID : BLOCK;
            break;
        }
        case DICTIONARY_ID: {
            _pending[_pendingCount++] = *data++;
            n--;
            if (_pendingCount == 4) return fail("corrupt compressed data: the stream asks for a preset dictionary");
            break;
        }
        case BLOCK: {
            const unsigned type = (*data >> 1) & 3;
            if (type != 0) {
                // A compressed block: zlib, from this byte on, to the end.
                keepPieces();
                if (inflateInit2(&_z, -15) != Z_OK) return fail("unable to initialise the inflater");
                _zActive = true;
                if (!_window.empty() &&
                    inflateSetDictionary(&_z, _window.data(), static_cast<uInt>(_window.size())) != Z_OK)
                    return fail("unable to initialise the inflater");
                _window.clear();
                _state = ZLIB_RAW;
                break;
            }
            // The rest of the byte is padding up to the lengths.
            _finalBlock = (*data & 1) != 0;
            data++;
            n--;
            _state = STORED_LENGTH;
            break;
        }
        case STORED_LENGTH: {
            _pending[_pendingCount++] = *data++;
            n--;
            if (_pendingCount < 4) break;
            _pendingCount = 0;
            const unsigned length = _pending[0] | (_pending[1] << 8);
            const unsigned check = _pending[2] | (_pending[3] << 8);
            if (length != (~check & 0xffffu)) return fail("corrupt compressed data: invalid stored block lengths");
            _storedLeft = length;
            _state = length > 0 ? STORED : _finalBlock ? TRAILER : BLOCK;
            break;
        }
        case STORED: {
            size_t take = n < _storedLeft ? n : _storedLeft;
            if (!emit(data, take, sink)) return fail("output refused");
            _pieces.emplace_back(data, take);
            data += take;
            n -= take;
            _storedLeft -= take;
            if (_storedLeft == 0) _state = _finalBlock ? TRAILER : BLOCK;
            break;
        }
        case ZLIB_RAW:
        case GZIP:
            if (runZlib(&data, &n, sink) != 0) return -1;
            break;
        case TRAILER: {
            _pending[_pendingCount++] = *data++;
            n--;
            if (_pendingCount < 4) break;
            _pendingCount = 0;
            uint32_t sent = (static_cast<uint32_t>(_pending[0]) << 24) | (static_cast<uint32_t>(_pending[1]) << 16) |
                            (static_cast<uint32_t>(_pending[2]) << 8) | _pending[3];
            if (sent != _adler) return fail("corrupt compressed data: incorrect data check");
            _window.clear();
            _state = DONE;
            break;
        }
        case DONE:
            return fail("data after the end of the compressed stream");
        case FAILED:
            return -1;
        }
    }
    if (_state == BLOCK || _state == STORED_LENGTH || _state == STORED) keepPieces();
    _pieces.clear();
    return 0;
}
