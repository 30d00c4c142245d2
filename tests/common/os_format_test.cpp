// Number, hash, hex and URL formats, GUIDs, small conversions, machine
// facts and X.509 names.
#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/os.h"
#include "common/x509_name.h"
#include "tests/support/guid_format.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

std::string formatted(long long value, size_t len = 64) {
    char out[64];
    return s_format_number(out, len, value);
}

TEST(OsFormat, NumbersGetThousandsSeparators) {
    EXPECT_EQ("0", formatted(0));
    EXPECT_EQ("7", formatted(7));
    EXPECT_EQ("999", formatted(999));
    EXPECT_EQ("1,000", formatted(1000));
    EXPECT_EQ("1,001", formatted(1001)) << "inner groups keep their zeros";
    EXPECT_EQ("1,234,567", formatted(1234567));
    EXPECT_EQ("1,000,000", formatted(1000000));
    EXPECT_EQ("9,223,372,036,854,775,807", formatted(LLONG_MAX));
    EXPECT_EQ("-1,234", formatted(-1234)) << "one sign in front";
    EXPECT_EQ("-9,223,372,036,854,775,808", formatted(LLONG_MIN));
    EXPECT_EQ("1,234", formatted(1234567, 6)) << "cut to the buffer";
}

TEST(OsFormat, HashesOfKnownTexts) {
    EXPECT_EQ(0, getHashValue(nullptr));
    EXPECT_EQ(5381, getHashValue(""));
    EXPECT_EQ(177670, getHashValue("a"));
    EXPECT_EQ(210714636441LL, getHashValue("hello"));
    EXPECT_EQ(193355755, getHashValue("\xe9t\xe9")) << "bytes above 127 count as negative";
    EXPECT_EQ(3950289020261251294LL, getHashValue("The quick brown fox jumps over the lazy dog")) << "wraps at 64 bits";

    EXPECT_EQ(1125899906842597LL, makeHash(""));
    EXPECT_EQ(34902897112120556LL, makeHash("a"));
    EXPECT_EQ(7096547112109427677LL, makeHash("hello"));
    EXPECT_EQ(-3351804022671362199LL, makeHash("\xe9t\xe9"));
    EXPECT_EQ(2495975436744621598LL, makeHash("The quick brown fox jumps over the lazy dog"));
}

TEST(OsFormat, HexDumpsToStandardOutputAndToTheLog) {
    unsigned char data[40];
    for (int i = 0; i < 40; i++) data[i] = static_cast<unsigned char>('A' + i);
    data[1] = 0x01;
    data[2] = 0xff;
    data[3] = ' ';
    std::string line1, line2;
    for (int i = 0; i < 32; i++) {
        char h[4];
        snprintf(h, sizeof(h), "%02x ", data[i]);
        line1 += h;
    }
    line1 += "A.. EFGHIJKLMNOPQRSTUVWXYZ[\\]^_`";
    for (int i = 32; i < 40; i++) {
        char h[4];
        snprintf(h, sizeof(h), "%02x ", data[i]);
        line2 += h;
    }
    line2 += std::string(24 * 3, ' ') + "abcdefgh";

    testing::internal::CaptureStdout();
    hex(data, 40);
    EXPECT_EQ(line1 + "\n" + line2 + "\n40 bytes...\n", testing::internal::GetCapturedStdout());
    testing::internal::CaptureStdout();
    hex(data, 0);
    EXPECT_EQ("0 bytes...\n", testing::internal::GetCapturedStdout());

    LogCapture log;
    logHex(data, 40);
    std::string text = log.text();
    size_t start = text.find("--- 40 bytes...\n");
    size_t first = text.find(line1 + "\n");
    size_t second = text.find(line2 + "\n");
    size_t end = text.find(": ---\n");
    ASSERT_NE(std::string::npos, start) << text;
    ASSERT_NE(std::string::npos, first) << text;
    ASSERT_NE(std::string::npos, second) << text;
    ASSERT_NE(std::string::npos, end) << text;
    EXPECT_LT(start, first);
    EXPECT_LT(first, second);
    EXPECT_LT(second, end);
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
        ASSERT_NE(nullptr, out);
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
        ASSERT_NE(nullptr, guid);
        ASSERT_TRUE(looksLikeGuid(guid)) << guid;
        EXPECT_TRUE(seen.insert(guid).second) << "repeated " << guid;
        // Digit i is a letter past 'f' exactly when bit i of the counter is
        // set, so the letters spell out the counter, one more each time.
        long long counter = 0;
        std::string unshifted;
        for (int at = 0, digit = 0; guid[at] != '\0'; at++) {
            char c = guid[at];
            if (c == '-') {
                unshifted += c;
                continue;
            }
            if (c >= 'g' && c <= 'v') {
                counter |= 1LL << digit;
                c = "0123456789abcdef"[c - 'g'];
            }
            unshifted += c;
            digit++;
        }
        if (previous >= 0) {
            EXPECT_EQ(previous + 1, counter) << guid;
        }
        previous = counter;
        EXPECT_EQ('1', unshifted[14]) << "a time-based identifier underneath: " << unshifted;
        freeGuid(guid);
    }
    EXPECT_GE(previous, 299) << "the counter reached the ninth bit and beyond";
}

TEST(OsFormat, SmallConversions) {
    char buf[64];
    EXPECT_STREQ("10.1.2.250", s_inet_ntoa(buf, sizeof(buf), inet_addr("10.1.2.250")));
    EXPECT_STREQ("192.168.0.1", s_inet_ntoa(buf, sizeof(buf), htonl(0xc0a80001)));
    EXPECT_STREQ(strerror(ENOENT), s_strerror(ENOENT, buf, sizeof(buf)));
    char small[8];
    EXPECT_STREQ("No such", s_strerror(ENOENT, small, sizeof(small)));

    char host[256];
    ASSERT_EQ(0, s_gethostname(host, sizeof(host)));
    EXPECT_GT(strlen(host), 0u);
    for (const char* p = host; *p != '\0'; p++) EXPECT_FALSE(*p >= 'A' && *p <= 'Z') << host;

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    EXPECT_EQ(0, s_setnonblocking(fds[0]));
    EXPECT_TRUE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    char c;
    EXPECT_EQ(-1, read(fds[0], &c, 1)) << "would block";
    EXPECT_EQ(EAGAIN, errno);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(-1, s_setnonblocking(fds[0])) << "closed descriptor";
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
        ASSERT_NE(nullptr, e->device);
        ASSERT_NE(nullptr, e->mountPoint);
        ASSERT_NE(nullptr, e->type);
        EXPECT_LE(e->availKb, e->totalKb) << e->mountPoint;
        EXPECT_LE(e->freeKb, e->totalKb) << e->mountPoint;
        EXPECT_EQ(e->freeInodes, e->freeInodes2);
        if (strcmp(e->mountPoint, "/") == 0 && root == nullptr) root = e;
    }
    int lines = 0;
    std::string mtab = readFile("/etc/mtab");
    for (char c : mtab) lines += c == '\n';
    EXPECT_EQ(lines, count) << "one entry per mount, in file order";
    ASSERT_NE(nullptr, root);
    struct statfs fs;
    ASSERT_EQ(0, statfs("/", &fs));
    EXPECT_EQ(static_cast<long long>(fs.f_blocks) * (fs.f_bsize / 1024), root->totalKb);
    EXPECT_EQ(static_cast<long long>(fs.f_files), root->totalInodes);
    s_free_fsstat(list);
}

TEST(OsInfo, DistributionAndBootTimeFiles) {
    TempDir tmp;
    const std::string redhat = tmp / "redhat-release";
    const std::string lsb = tmp / "lsb-release";
    const std::string none = tmp / "none";
    char out[kDistroLength];

    s_read_distro(out, sizeof(out), none.c_str(), none.c_str());
    EXPECT_STREQ("", out);
    writeFile(lsb, "DISTRIB_ID=Ubuntu\nDISTRIB_DESCRIPTION=\"Ubuntu 22.04.3 LTS\"\nDISTRIB_CODENAME=jammy\n");
    s_read_distro(out, sizeof(out), none.c_str(), lsb.c_str());
    EXPECT_STREQ("Ubuntu 22.04.3 LTS", out);
    writeFile(lsb, "DISTRIB_DESCRIPTION=Plain Text\n");
    s_read_distro(out, sizeof(out), none.c_str(), lsb.c_str());
    EXPECT_STREQ("Plain Text", out);
    writeFile(lsb, "DISTRIB_DESCRIPTION=\"Half\n");
    s_read_distro(out, sizeof(out), none.c_str(), lsb.c_str());
    EXPECT_STREQ("\"Half", out) << "only a pair of quotes is removed";
    writeFile(lsb, "DISTRIB_ID=X\n");
    s_read_distro(out, sizeof(out), none.c_str(), lsb.c_str());
    EXPECT_STREQ("", out);

    writeFile(redhat, "CentOS Linux release 7.9.2009 (Core)\nsecond line\n");
    s_read_distro(out, sizeof(out), redhat.c_str(), lsb.c_str());
    EXPECT_STREQ("CentOS Linux release 7.9.2009 (Core)", out) << "redhat-release wins";
    writeFile(redhat, std::string(200, 'r') + "\n");
    s_read_distro(out, sizeof(out), redhat.c_str(), lsb.c_str());
    EXPECT_EQ(std::string(80, 'r'), out);

    writeFile(tmp / "stat", "cpu  1 2 3\nintr 5\nbtime 1700000123\nprocesses 9\n");
    EXPECT_EQ(1700000123, s_read_boot_time((tmp / "stat").c_str()));
    EXPECT_EQ(0, s_read_boot_time(none.c_str()));

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
    EXPECT_GT(strlen(release), 0u);
    EXPECT_EQ(0, flag);
    EXPECT_EQ(static_cast<long long>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE), memory);
    EXPECT_GT(bootTime, 0);
    EXPECT_LE(bootTime, time(nullptr));
    EXPECT_EQ(rv, s_get_os_info(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));

    char mac[18] = "unchanged";
    if (getFirstMac(mac) == 0) {
        EXPECT_TRUE(std::regex_match(mac, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << mac;
    } else {
        EXPECT_STREQ("", mac);
    }
}

std::string entryText(X509_NAME* name, int i) {
    X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)), ASN1_STRING_length(data));
}

int entryNid(X509_NAME* name, int i) {
    return OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(name, i)));
}

TEST(X509Name, ParsesSlashSeparatedPairs) {
    LogCapture log;
    char subject[] = "/C=US/O=Acme\\/Sub/CN=host.example";
    X509_NAME* name = parse_name(subject, MBSTRING_ASC, 0);
    ASSERT_NE(nullptr, name);
    ASSERT_EQ(3, X509_NAME_entry_count(name));
    EXPECT_EQ(NID_countryName, entryNid(name, 0));
    EXPECT_EQ("US", entryText(name, 0));
    EXPECT_EQ("Acme/Sub", entryText(name, 1)) << "an escaped slash is part of the value";
    EXPECT_EQ(NID_commonName, entryNid(name, 2));
    EXPECT_EQ("host.example", entryText(name, 2));
    EXPECT_STREQ("/C=US/O=Acme\\/Sub/CN=host.example", subject) << "the text is left as it was";
    X509_NAME_free(name);

    // "+" joins two pairs into one RDN only when asked to.
    char multi[] = "/CN=a+OU=b/O=c";
    name = parse_name(multi, MBSTRING_UTF8, 1);
    ASSERT_NE(nullptr, name);
    ASSERT_EQ(3, X509_NAME_entry_count(name));
    EXPECT_EQ(X509_NAME_ENTRY_set(X509_NAME_get_entry(name, 0)), X509_NAME_ENTRY_set(X509_NAME_get_entry(name, 1)));
    EXPECT_NE(X509_NAME_ENTRY_set(X509_NAME_get_entry(name, 1)), X509_NAME_ENTRY_set(X509_NAME_get_entry(name, 2)));
    X509_NAME_free(name);
    name = parse_name(multi, MBSTRING_UTF8, 0);
    ASSERT_NE(nullptr, name);
    ASSERT_EQ(2, X509_NAME_entry_count(name));
    EXPECT_EQ("a+OU=b", entryText(name, 0));
    X509_NAME_free(name);

    char noSlash[] = "CN=plain";
    name = parse_name(noSlash, MBSTRING_ASC, 0);
    ASSERT_NE(nullptr, name);
    EXPECT_EQ("plain", entryText(name, 0));
    X509_NAME_free(name);

    // Unknown types and empty values are skipped, the rest kept.
    char skipped[] = "/XYZZY=1/CN=/O=kept";
    name = parse_name(skipped, MBSTRING_ASC, 0);
    ASSERT_NE(nullptr, name);
    ASSERT_EQ(1, X509_NAME_entry_count(name));
    EXPECT_EQ("kept", entryText(name, 0));
    X509_NAME_free(name);
    EXPECT_TRUE(log.contains("Subject Attribute XYZZY has no known NID, skipped"));
    EXPECT_TRUE(log.contains("No value provided for Subject Attribute CN, skipped"));

    // Broken texts give no name.
    char trailingEscape[] = "/CN=abc\\";
    EXPECT_EQ(nullptr, parse_name(trailingEscape, MBSTRING_ASC, 0));
    EXPECT_TRUE(log.contains("escape character at end of string"));
    char noEquals[] = "/CN=a/OU";
    EXPECT_EQ(nullptr, parse_name(noEquals, MBSTRING_ASC, 0));
    EXPECT_TRUE(log.contains("end of string encountered while processing type of subject name element #1"));
    char tooLong[] = "/C=USA";
    EXPECT_EQ(nullptr, parse_name(tooLong, MBSTRING_ASC, 0)) << "a country code has two letters";
    EXPECT_EQ(nullptr, parse_name(nullptr, MBSTRING_ASC, 0));
}

}  // namespace
