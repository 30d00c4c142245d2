#include <openssl/md5.h>

#include <vector>

#include "dirbase/sfs.h"
#include "ft/ft_checksum.h"
#include "ft/ft_sync.h"

int ft_computeSignatures(SfsFile* file, long long size, int blockSize, uint32_t seed,
                         std::vector<FtBlockSignature>* out) {
    if (blockSize <= 0 || size < 0) return -1;
    std::vector<unsigned char> buf(static_cast<size_t>(blockSize));
    long long left = size;
    while (left > 0) {
        int want = left < blockSize ? static_cast<int>(left) : blockSize;
        int have = 0;
        while (have < want) {
            int got = file->read(reinterpret_cast<char*>(buf.data()) + have, want - have);
            if (got <= 0) return -1;
            have += got;
        }
        FtBlockSignature sig;
        sig.weak = adler_checksum(seed, buf.data(), static_cast<size_t>(want));
        MD5(buf.data(), static_cast<size_t>(want), sig.digest);
        out->push_back(sig);
        left -= want;
    }
    return 0;
}
