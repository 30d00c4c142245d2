// Number, hash, hex and URL formats, GUIDs, small conversions, machine
// facts and X.509 names.
#include <arpa/inet.h>
#include <limits.h>
#include <string.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/os.h"
#include "common/x509_name.h"
#include "tests/support/guid_format.h"
#include "tests/support/pattern.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(OsFormat, NumbersGetThousandsSeparators) {
    struct Case {
        long long value;
        const char* text;
        size_t len;
    } cases[] = {
        {0, "0", 64},
        {999, "999", 64},
        {1000, "1,000", 64},
        {1001, "1,001", 64},  // inner groups keep their zeros
        {1234567, "1,234,567", 64},
        {LLONG_MAX, "9,223,372,036,854,775,807", 64},
        {-1234, "-1,234", 64},  // one sign in front
        {LLONG_MIN, "-9,223,372,036,854,775,808", 64},
        {1234567, "1,234", 6},  // cut to the buffer
    };
    for (const Case& c : cases) {
        char out[64];
        EXPECT_STREQ(c.text, s_format_number(out, c.len, c.value)) << c.value;
    }
}

TEST(OsFormat, HashesOfKnownTexts) {
    EXPECT_EQ(0, getHashValue(nullptr));
    EXPECT_EQ(177670, getHashValue("a"));  // 5381 * 33 + 'a'
    EXPECT_EQ(193355755, getHashValue("\xe9t\xe9")) << "bytes above 127 count as negative";
    EXPECT_EQ(3950289020261251294LL, getHashValue("The quick brown fox jumps over the lazy dog")) << "wraps at 64 bits";
    EXPECT_EQ(1125899906842597LL, makeHash(""));
    EXPECT_EQ(-3351804022671362199LL, makeHash("\xe9t\xe9"));
    EXPECT_EQ(2495975436744621598LL, makeHash("The quick brown fox jumps over the lazy dog"));
}

TEST(OsFormat, HexDumpsToStandardOutputAndToTheLog) {
    // A full line of 32 bytes and a padded one of 8, with bytes shown as '.'.
    const std::string data = "A\x01\xff EFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefgh";
    auto hexOf = [&](size_t from, size_t to) {
        std::string h;
        char b[4];
        for (size_t i = from; i < to; i++) {
            snprintf(b, sizeof(b), "%02x ", data[i] & 0xff);
            h += b;
        }
        return h;
    };
    std::string line1 = hexOf(0, 32) + "A.. EFGHIJKLMNOPQRSTUVWXYZ[\\]^_`\n";
    std::string line2 = hexOf(32, 40) + std::string(24 * 3, ' ') + "abcdefgh\n";
    auto bytes = reinterpret_cast<const unsigned char*>(data.data());

    testing::internal::CaptureStdout();
    hex(bytes, 40);
    EXPECT_EQ(line1 + line2 + "40 bytes...\n", testing::internal::GetCapturedStdout());

    LogCapture log;
    logHex(bytes, 40);
    EXPECT_NE(std::string::npos, log.messages().find("--- 40 bytes...\n" + line1 + line2 + "---\n")) << log.text();
}

TEST(OsFormat, UrlEncoding) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a b/c", "a+b%2fc"},
        {"AZaz09~_-.", "AZaz09~_-."},
        {"", ""},
        {"\xff\x01%+", "%ff%01%25%2b"},
        {"caf\xc3\xa9?x=1&y", "caf%c3%a9%3fx%3d1%26y"},
    };
    for (const Case& c : cases) {
        char* out = urlEncode(c.in);
        EXPECT_STREQ(c.out, out) << c.in;
        free(out);
    }
    EXPECT_EQ(nullptr, urlEncode(nullptr));
}

TEST(OsFormat, GuidsDifferAndCarryTheCounterInTheirLetters) {
    std::set<std::string> seen;
    long long previous = -1;
    for (int i = 0; i < 300; i++) {
        char* guid = makeGuid();
        ASSERT_TRUE(looksLikeGuid(guid)) << guid;
        EXPECT_TRUE(seen.insert(guid).second) << "repeated " << guid;
        // Digit i is a letter past 'f' exactly when bit i of the counter is
        // set, so the letters spell out the counter, one more each time.
        long long counter = 0;
        std::string plain = guid;
        for (int at = 0, digit = 0; guid[at] != '\0'; at++) {
            if (guid[at] == '-') continue;
            if (guid[at] >= 'g') {
                counter |= 1LL << digit;
                plain[at] = "0123456789abcdef"[guid[at] - 'g'];
            }
            digit++;
        }
        EXPECT_TRUE(previous < 0 || counter == previous + 1) << guid;
        previous = counter;
        EXPECT_EQ('1', plain[14]) << "a time-based identifier underneath: " << plain;
        freeGuid(guid);
    }
}

TEST(OsFormat, AddressesAndHostNames) {
    char buf[64];
    EXPECT_STREQ("192.168.0.1", s_inet_ntoa(buf, sizeof(buf), htonl(0xc0a80001)));
    char host[256];
    ASSERT_EQ(0, s_gethostname(host, sizeof(host)));
    EXPECT_GT(strlen(host), 0u);
    for (const char* p = host; *p != '\0'; p++) EXPECT_FALSE(*p >= 'A' && *p <= 'Z') << host;
}

TEST(OsInfo, MountedFileSystems) {
    for (const char* yes : {"ext2", "ext4", "hfs", "hfsplus", "nfs"}) EXPECT_TRUE(s_fsOk(yes)) << yes;
    for (const char* no : {"nfs4", "tmpfs", "xfs", "NFS", "ex", ""}) EXPECT_FALSE(s_fsOk(no)) << no;
    EXPECT_FALSE(s_fsOk(nullptr));

    DrvFsEntry* list = s_getfsstat();
    ASSERT_NE(nullptr, list);
    int count = 0;
    const DrvFsEntry* root = nullptr;
    for (const DrvFsEntry* e = list; e != nullptr; e = e->next) {
        count++;
        EXPECT_LE(e->availKb, e->totalKb) << e->mountPoint;
        EXPECT_LE(e->freeKb, e->totalKb) << e->mountPoint;
        EXPECT_EQ(e->freeInodes, e->freeInodes2);
        if (strcmp(e->mountPoint, "/") == 0 && root == nullptr) root = e;
    }
    std::string mtab = readFile("/etc/mtab");
    EXPECT_EQ(std::count(mtab.begin(), mtab.end(), '\n'), count) << "one entry per mount";
    ASSERT_NE(nullptr, root);
    struct statfs fs;
    ASSERT_EQ(0, statfs("/", &fs));
    EXPECT_EQ(static_cast<long long>(fs.f_blocks) * (fs.f_bsize / 1024), root->totalKb);
    EXPECT_EQ(static_cast<long long>(fs.f_files), root->totalInodes);
    s_free_fsstat(list);
}

TEST(OsInfo, DistributionAndBootTimeFiles) {
    TempDir tmp;
    const std::string redhat = tmp.file("redhat-release"), lsb = tmp.file("lsb-release");
    const std::string longLine(200, 'r');
    struct Case {
        const char* redhat;  // null: no such file
        const char* lsb;
        std::string distro;
    } cases[] = {
        {nullptr, nullptr, ""},
        {nullptr, "DISTRIB_ID=U\nDISTRIB_DESCRIPTION=\"Ubuntu 22.04.3 LTS\"\nDISTRIB_CODENAME=jammy\n",
         "Ubuntu 22.04.3 LTS"},
        {nullptr, "DISTRIB_DESCRIPTION=Plain Text\n", "Plain Text"},
        {nullptr, "DISTRIB_DESCRIPTION=\"Half\n", "\"Half"},  // only a pair of quotes is removed
        {nullptr, "DISTRIB_ID=X\n", ""},
        {"CentOS Linux release 7.9.2009 (Core)\nsecond\n", "DISTRIB_DESCRIPTION=x\n",
         "CentOS Linux release 7.9.2009 (Core)"},
        {longLine.c_str(), nullptr, std::string(80, 'r')},
    };
    for (const Case& c : cases) {
        unlink(redhat.c_str());
        unlink(lsb.c_str());
        if (c.redhat != nullptr) writeFile(redhat, c.redhat);
        if (c.lsb != nullptr) writeFile(lsb, c.lsb);
        char out[kDistroLength];
        s_read_distro(out, sizeof(out), redhat.c_str(), lsb.c_str());
        EXPECT_EQ(c.distro, out);
    }

    writeFile(tmp.file("stat"), "cpu  1 2 3\nintr 5\nbtime 1700000123\nprocesses 9\n");
    EXPECT_EQ(1700000123, s_read_boot_time((tmp.file("stat")).c_str()));
    EXPECT_EQ(0, s_read_boot_time(tmp.file("none").c_str()));

    // This machine, as far as it can be known here.
    char sysname[kOsFieldLength], release[kOsFieldLength], version[kOsFieldLength], machine[kOsFieldLength];
    char distro[kDistroLength];
    long long memory = 0, bootTime = 0;
    char flag = 'x';
    int cpus = 0;
    int rv = s_get_os_info(sysname, release, version, machine, distro, &memory, &bootTime, &flag, &cpus);
    EXPECT_EQ(sysconf(_SC_NPROCESSORS_CONF), rv);
    EXPECT_EQ(rv, cpus);
    EXPECT_STREQ("Linux", sysname);
    EXPECT_EQ(0, flag);
    EXPECT_EQ(static_cast<long long>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE), memory);
    EXPECT_GT(bootTime, 0);
    EXPECT_LE(bootTime, time(nullptr));
    EXPECT_EQ(rv, s_get_os_info(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));

    char mac[18] = "unchanged";
    bool found = getFirstMac(mac) == 0;
    EXPECT_TRUE(found ? fullMatch(mac, "([0-9a-f]{2}:){5}[0-9a-f]{2}") : mac[0] == '\0') << mac;
}

// The name parsed from text as "type=value" entries, " / " between RDNs and
// " + " within one; "none" when no name comes back.
std::string parsed(const char* text, int multirdn = 0) {
    std::string copy = text;
    X509_NAME* name = parse_name(&copy[0], MBSTRING_ASC, multirdn);
    EXPECT_EQ(text, copy) << "the text is left as it was";
    if (name == nullptr) return "none";
    std::string out;
    for (int i = 0; i < X509_NAME_entry_count(name); i++) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        if (i > 0)
            out += X509_NAME_ENTRY_set(e) == X509_NAME_ENTRY_set(X509_NAME_get_entry(name, i - 1)) ? " + " : " / ";
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
        out += std::string(OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)))) + "=" +
               std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)), ASN1_STRING_length(data));
    }
    X509_NAME_free(name);
    return out;
}

TEST(X509Name, ParsesSlashSeparatedPairs) {
    LogCapture log;
    EXPECT_EQ("C=US / O=Acme/Sub / CN=host.example", parsed("/C=US/O=Acme\\/Sub/CN=host.example"));
    // "+" joins two pairs into one RDN only when asked to.
    EXPECT_EQ("CN=a + OU=b / O=c", parsed("/CN=a+OU=b/O=c", 1));
    EXPECT_EQ("CN=a+OU=b / O=c", parsed("/CN=a+OU=b/O=c"));
    EXPECT_EQ("CN=plain", parsed("CN=plain"));
    // Unknown types and empty values are skipped, the rest kept.
    EXPECT_EQ("O=kept", parsed("/XYZZY=1/CN=/O=kept"));
    EXPECT_TRUE(log.contains("Subject Attribute XYZZY has no known NID, skipped"));
    EXPECT_TRUE(log.contains("No value provided for Subject Attribute CN, skipped"));
    // Broken texts give no name.
    EXPECT_EQ("none", parsed("/CN=abc\\"));
    EXPECT_TRUE(log.contains("escape character at end of string"));
    EXPECT_EQ("none", parsed("/CN=a/OU"));
    EXPECT_TRUE(log.contains("end of string encountered while processing type of subject name element #1"));
    EXPECT_EQ("none", parsed("/C=USA")) << "a country code has two letters";
    EXPECT_EQ(nullptr, parse_name(nullptr, MBSTRING_ASC, 0));
}

}  // namespace
