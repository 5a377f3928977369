// The log reader behind `adset report`: one pass over nginx access logs in
// deploy/nginx.conf's "ads" format, plain or gzip, printing the few thousand
// aggregates the Python command turns into tables and charts.
//
//   adset-logread [--from SEC] [--to SEC] [--journal TABLE] FILE|- ...
//
// TABLE is the publish journal as the command hands it over: the number of
// switches, then per switch its time in ms since the epoch and, for each of the
// 16 ads, its bytes, its .gz's bytes (-1: none) and a number naming its picture
// (equal numbers, equal SHA-256).
//
// Output, one record a line, fields separated by spaces (times in seconds):
//   S lines ad_requests other_requests malformed cut_last_lines outside_window
//   M FILE\tLINE\tTEXT                 the first malformed lines (tab-separated)
//   Q QUARTER ENTRY AD shown cut failed ambiguous other   per quarter hour (UTC)
//   A ID ADDRESS FIRST LAST REQUESTS     per client address
//   C ID FIRST LAST REQUESTS             a connection span of two requests or more
//   P ID MINUTE CONNECTIONS              connections that asked once, per minute
// ENTRY is the index of the switch live when the request began, -1 before the
// first or without a journal. FILE may be gzip (rotated logs), - the standard
// input (plain or gzip). Errors: one line on stderr, exit 2.
//
// Speed comes from never allocating per line: lines are found with memchr in
// a big buffer, fields parsed in place, the time stamp reused while it repeats,
// addresses and connections kept in open-addressing tables.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace {

const int ADS = 16;
const int64_t QUARTER = 900;
// A bar asks every 10 s; a connection silent for longer than nginx keeps an
// idle one open (keepalive_timeout 65 s) is a new one under a reused number.
const int64_t GAP = 65;
// "Within a second of a switch": the log's time has whole seconds.
const int64_t NEAR_MS = 1000;
const size_t BUFFER = 1 << 20;
const int SAMPLES = 5;

enum Outcome { SHOWN, CUT, FAILED, AMBIGUOUS, OTHER, OUTCOMES };

[[noreturn]] void fail(const char* fmt, const char* what, const char* why = nullptr) {
    fputs("adset report: ", stderr);
    fprintf(stderr, fmt, what, why);
    fputc('\n', stderr);
    exit(2);
}

uint64_t hash_bytes(const char* p, size_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    while (n >= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        p += 8, n -= 8;
    }
    uint64_t w = 0;
    memcpy(&w, p, n);
    h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
}

uint64_t mix(uint64_t a, uint64_t b) {
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b + 0x632BE59BD9B4E019ull + (a << 6));
    h *= 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 32);
}

// ---- The journal ----

struct Switch {
    int64_t ms;
    int64_t bytes[ADS], gz[ADS];
    int picture[ADS];
};
std::vector<Switch> journal;

void read_journal(const char* path) {
    FILE* f = fopen(path, "r");
    if (!f) fail("%s: %s", path, strerror(errno));
    long n = 0;
    if (fscanf(f, "%ld", &n) != 1 || n < 0) fail("%s: %s", path, "not a switch table");
    journal.resize(n);
    for (Switch& s : journal) {
        bool ok = fscanf(f, "%ld", &s.ms) == 1;
        for (int a = 0; a < ADS && ok; a++)
            ok = fscanf(f, "%ld %ld %d", &s.bytes[a], &s.gz[a], &s.picture[a]) == 3;
        if (!ok) fail("%s: %s", path, "not a switch table");
    }
    fclose(f);
}

// The switch live at `ms`: the last one at or before it, -1 before the first.
int live_at(int64_t ms) {
    static int last = -1;
    int n = (int)journal.size();
    // Requests come nearly in time order: the last answer mostly holds.
    if (last >= 0 && journal[last].ms <= ms && (last + 1 == n || ms < journal[last + 1].ms)) return last;
    int lo = 0, hi = n;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (journal[mid].ms <= ms) lo = mid + 1; else hi = mid;
    }
    return last = lo - 1;
}

bool whole(const Switch& s, int ad, int64_t bytes) {
    return bytes == s.bytes[ad] || (s.gz[ad] >= 0 && bytes == s.gz[ad]);
}

// Which switch a request that began at `ms` served, and how it counts.
void attribute(int64_t ms, int ad, int status, int64_t bytes, int* entry, Outcome* outcome) {
    int first = live_at(ms - NEAR_MS), live = live_at(ms), last = live_at(ms + NEAR_MS);
    *entry = live;
    if (status >= 400) { *outcome = FAILED; return; }
    if (status == 206) { *outcome = CUT; return; }
    if (status != 200 && status != 304) { *outcome = OTHER; return; }
    // Before the first publish nothing is known of the files: by status alone,
    // unless it came within a second of it and has its bytes.
    *outcome = SHOWN;
    if (last < 0) return;
    if (first < 0) first = 0;
    if (status == 304) {
        // No bytes to match: it stays open unless every candidate held the same picture.
        for (int e = first; e <= last; e++)
            if (live < 0 || journal[e].picture[ad] != journal[live].picture[ad]) *outcome = AMBIGUOUS;
        return;
    }
    // The candidates whose file (or its .gz) has exactly these bytes; the live
    // one first, else the nearest in time. Two different pictures: not guessed.
    int match = -1;
    for (int e = first; e <= last; e++) {
        if (!whole(journal[e], ad, bytes)) continue;
        if (match >= 0 && journal[match].picture[ad] != journal[e].picture[ad]) *outcome = AMBIGUOUS;
        if (match < 0 || abs(e - live) < abs(match - live)) match = e;
    }
    if (match >= 0 || live < 0) {
        *entry = match;
        return;
    }
    // Whole, but of the set before or after: a server that switched seconds
    // apart from the one whose journal this is. Shown, but not said which.
    if ((first > 0 && whole(journal[first - 1], ad, bytes)) ||
        (last + 1 < (int)journal.size() && whole(journal[last + 1], ad, bytes))) {
        *outcome = AMBIGUOUS;
        return;
    }
    *outcome = CUT;
}

// ---- Aggregates ----

struct Address {
    std::string name;
    int64_t first, last;
    uint64_t requests;
};
std::vector<Address> addresses;
std::vector<uint32_t> address_slots;  // id + 1, 0 empty
std::vector<uint64_t> address_hashes;

uint32_t address_id(const char* p, size_t n) {
    if (addresses.size() * 2 >= address_slots.size()) {
        size_t size = address_slots.empty() ? 4096 : address_slots.size() * 2;
        address_slots.assign(size, 0);
        for (uint32_t id = 0; id < addresses.size(); id++) {
            size_t i = address_hashes[id] & (size - 1);
            while (address_slots[i]) i = (i + 1) & (size - 1);
            address_slots[i] = id + 1;
        }
    }
    uint64_t h = hash_bytes(p, n);
    size_t mask = address_slots.size() - 1, i = h & mask;
    for (; address_slots[i]; i = (i + 1) & mask) {
        uint32_t id = address_slots[i] - 1;
        if (address_hashes[id] == h && addresses[id].name.size() == n && !memcmp(addresses[id].name.data(), p, n))
            return id;
    }
    address_slots[i] = (uint32_t)addresses.size() + 1;
    address_hashes.push_back(h);
    addresses.push_back({std::string(p, n), INT64_MAX, INT64_MIN, 0});
    return (uint32_t)addresses.size() - 1;
}

struct Span {
    uint32_t address;
    uint64_t connection;
    int64_t first, last;
    uint64_t n, request;  // requests, and the last one's number on its connection
};
std::vector<Span> open_spans, closed_spans;
std::vector<uint32_t> span_slots;  // index + 1 into open_spans
std::unordered_map<uint64_t, uint32_t> once;  // address << 32 | minute -> connections that asked once

void close_span(const Span& s) {
    if (s.n > 1) closed_spans.push_back(s);
    else once[(uint64_t)s.address << 32 | (uint64_t)(s.first / 60)]++;
}

void connection_seen(uint32_t address, uint64_t connection, uint64_t request, int64_t t) {
    if (open_spans.size() * 2 >= span_slots.size()) {
        size_t size = span_slots.empty() ? 8192 : span_slots.size() * 2;
        span_slots.assign(size, 0);
        for (uint32_t k = 0; k < open_spans.size(); k++) {
            size_t i = mix(open_spans[k].address, open_spans[k].connection) & (size - 1);
            while (span_slots[i]) i = (i + 1) & (size - 1);
            span_slots[i] = k + 1;
        }
    }
    size_t mask = span_slots.size() - 1, i = mix(address, connection) & mask;
    for (; span_slots[i]; i = (i + 1) & mask) {
        Span& s = open_spans[span_slots[i] - 1];
        if (s.address != address || s.connection != connection) continue;
        // Rotated files read out of order, or a number reused after nginx
        // restarted: a request that does not follow on is a new span.
        if (request <= s.request || t < s.last || t - s.last > GAP) {
            close_span(s);
            s.first = t, s.n = 0;
        }
        s.last = t, s.request = request, s.n++;
        return;
    }
    span_slots[i] = (uint32_t)open_spans.size() + 1;
    open_spans.push_back({address, connection, t, t, 1, request});
}

struct Block {
    int64_t quarter;
    int entry;
    uint64_t count[ADS][OUTCOMES];
};
std::vector<Block> blocks;
std::unordered_map<uint64_t, uint32_t> block_index;

uint64_t* counters(int64_t quarter, int entry, int ad) {
    static int64_t last_quarter = -1;
    static int last_entry = -2;
    static uint32_t last = 0;
    if (quarter != last_quarter || entry != last_entry) {
        uint64_t key = (uint64_t)quarter << 20 | (uint64_t)(entry + 1);
        auto it = block_index.find(key);
        if (it == block_index.end()) {
            it = block_index.emplace(key, (uint32_t)blocks.size()).first;
            blocks.push_back(Block{quarter, entry, {}});
        }
        last_quarter = quarter, last_entry = entry, last = it->second;
    }
    return blocks[last].count[ad];
}

// ---- Parsing ----

struct Totals {
    uint64_t lines, ads, other, malformed, cut_last, outside;
} totals;
int64_t window_from = INT64_MIN, window_to = INT64_MAX;
std::vector<std::string> samples;

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

bool digits(const char* p, int n, int* out) {
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *out = v;
    return true;
}

// $time_iso8601: 2026-12-07T14:00:00+01:00 (or Z), to seconds since the epoch.
bool parse_time(const char* p, size_t n, int64_t* t) {
    static char last[32];
    static size_t last_n = 0;
    static int64_t last_t = 0;
    if (n == last_n && !memcmp(p, last, n)) { *t = last_t; return true; }
    int y, mo, d, h, mi, s, oh = 0, om = 0;
    if ((n != 25 && n != 20) || p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':')
        return false;
    if (!digits(p, 4, &y) || !digits(p + 5, 2, &mo) || !digits(p + 8, 2, &d) || !digits(p + 11, 2, &h) ||
        !digits(p + 14, 2, &mi) || !digits(p + 17, 2, &s) || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
        mi > 59 || s > 60)
        return false;
    int sign = 0;
    if (n == 20 && p[19] == 'Z') sign = 1;
    else if (n == 25 && (p[19] == '+' || p[19] == '-') && p[22] == ':' && digits(p + 20, 2, &oh) &&
             digits(p + 23, 2, &om))
        sign = p[19] == '-' ? -1 : 1;
    if (!sign) return false;
    *t = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - sign * (oh * 3600 + om * 60);
    memcpy(last, p, n), last_n = n, last_t = *t;
    return true;
}

bool number(const char* p, const char* e, uint64_t* out) {
    if (p == e || e - p > 19) return false;
    uint64_t v = 0;
    for (; p < e; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (uint64_t)(*p - '0');
    }
    *out = v;
    return true;
}

// $request_time: seconds with milliseconds, 0.004.
bool milliseconds(const char* p, const char* e, int64_t* ms) {
    const char* dot = (const char*)memchr(p, '.', (size_t)(e - p));
    uint64_t whole, frac = 0;
    if (!dot) return number(p, e, &whole) && (*ms = (int64_t)whole * 1000, true);
    if (!number(p, dot, &whole) || e - dot != 4 || !number(dot + 1, e, &frac)) return false;
    *ms = (int64_t)(whole * 1000 + frac);
    return true;
}

// /ads/vtl_N.ad, N from 1 to 16 without leading zeros: the ad's index, or -1.
int ad_of(const char* p, size_t n) {
    if (n < 13 || n > 14 || memcmp(p, "/ads/vtl_", 9) || memcmp(p + n - 3, ".ad", 3)) return -1;
    int v;
    if (!digits(p + 9, (int)n - 12, &v) || p[9] == '0' || v < 1 || v > ADS) return -1;
    return v - 1;
}

// One line, without its newline. False: malformed.
bool line(const char* p, const char* end) {
    // $time_iso8601 $remote_addr $request_method: no spaces inside.
    const char* sp = (const char*)memchr(p, ' ', (size_t)(end - p));
    int64_t t;
    if (!sp || !parse_time(p, (size_t)(sp - p), &t)) return false;
    const char* addr = sp + 1;
    const char* addr_end = (const char*)memchr(addr, ' ', (size_t)(end - addr));
    if (!addr_end || addr_end == addr || addr_end - addr > 64) return false;
    const char* method = addr_end + 1;
    const char* method_end = (const char*)memchr(method, ' ', (size_t)(end - method));
    if (!method_end) return false;
    // "$http_user_agent" is last and nginx escapes quotes inside it, so the
    // first quote opens it; $uri may hold spaces, so the five numbers before
    // the quote are taken from the right.
    const char* quote = (const char*)memchr(method_end, '"', (size_t)(end - method_end));
    if (!quote || quote[-1] != ' ' || end - quote < 2 || end[-1] != '"') return false;
    const char* field[6];
    const char* q = quote - 1;
    field[5] = q;
    for (int k = 4; k >= 0; k--) {
        while (q > method_end && q[-1] != ' ') q--;
        if (q <= method_end + 1) return false;
        field[k] = q;
        q--;
    }
    // field[0] starts the status; the $uri ends at the space before it.
    const char* uri = method_end + 1;
    const char* uri_end = field[0] - 1;
    uint64_t status, bytes, connection, request;
    int64_t took;
    if (!number(field[0], field[1] - 1, &status) || status < 100 || status > 999 ||
        !number(field[1], field[2] - 1, &bytes) || !milliseconds(field[2], field[3] - 1, &took) ||
        !number(field[3], field[4] - 1, &connection) || !number(field[4], field[5], &request) || uri_end <= uri)
        return false;

    if (t < window_from || t >= window_to) { totals.outside++; return true; }
    int ad = ad_of(uri, (size_t)(uri_end - uri));
    // Only a GET of an ad is a bar's: a HEAD from a monitor shows nothing, and
    // the ad check's fetches (its own user agent) are nobody's showings.
    static const char CHECK[] = "\"adset-check ";
    bool check = end - quote > (ptrdiff_t)sizeof CHECK - 1 && !memcmp(quote, CHECK, sizeof CHECK - 1);
    if (ad < 0 || check || method_end - method != 3 || memcmp(method, "GET", 3)) { totals.other++; return true; }
    totals.ads++;
    uint32_t id = address_id(addr, (size_t)(addr_end - addr));
    Address& a = addresses[id];
    if (t < a.first) a.first = t;
    if (t > a.last) a.last = t;
    a.requests++;
    connection_seen(id, connection, request, t);

    int entry = -1;
    Outcome outcome;
    attribute(t * 1000 - took, ad, (int)status, (int64_t)bytes, &entry, &outcome);
    int64_t quarter = (t >= 0 ? t : t - QUARTER + 1) / QUARTER;
    counters(quarter, entry, ad)[outcome]++;
    return true;
}

void malformed(const char* name, uint64_t number, const char* p, const char* end) {
    totals.malformed++;
    if ((int)samples.size() >= SAMPLES) return;
    std::string text(p, (size_t)(end - p > 120 ? 120 : end - p));
    for (char& c : text)
        if ((unsigned char)c < 0x20) c = '?';
    samples.push_back(std::string(name) + "\t" + std::to_string(number) + "\t" + text);
}

// A log as plain text: read as it is, or inflated by zlib where it starts as
// gzip does (zlib inflates some three times as fast as the gzip program).
// The standard input goes through zlib, which passes plain text on as it is.
struct Source {
    const char* name;
    int fd;
    gzFile gz = nullptr;

    Source(const char* n) : name(n) {
        fd = strcmp(name, "-") ? open(name, O_RDONLY) : 0;
        if (fd < 0) fail("%s: %s", name, strerror(errno));
        unsigned char magic[2];
        if (fd == 0 || (pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b)) {
            gz = gzdopen(fd, "rb");
            if (!gz) fail("%s: %s", name, "cannot read it");
            gzbuffer(gz, 1 << 18);
        } else {
            posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        }
    }
    size_t get(char* to, size_t n) {
        if (gz) {
            int got = gzread(gz, to, (unsigned)n);
            int error = Z_OK;
            gzerror(gz, &error);
            if (got < 0 || (got == 0 && error != Z_OK)) fail("%s: %s", name, "a damaged or incomplete gzip file");
            return (size_t)got;
        }
        for (;;) {
            ssize_t got = read(fd, to, n);
            if (got >= 0) return (size_t)got;
            if (errno != EINTR) fail("%s: %s", name, strerror(errno));
        }
    }
    ~Source() {
        if (gz) gzclose(gz);
        else if (fd) close(fd);
    }
};

struct Progress {
    time_t start = time(nullptr), shown = 0;
    int file = 0, files = 0;
    void tick() {
        time_t now = time(nullptr);
        if (now - start >= 3 && now - shown >= 5) {
            fprintf(stderr, "adset report: %.1f million lines read, file %d of %d\n", totals.lines / 1e6, file, files);
            shown = now;
        }
    }
} progress;

void read_file(const char* name, std::vector<char>& buf) {
    Source in(name);
    size_t have = 0;
    uint64_t number = 0;
    bool eof = false, skipping = false;
    while (!eof) {
        size_t got = in.get(buf.data() + have, buf.size() - have);
        eof = got == 0;
        have += got;
        const char* p = buf.data();
        const char* end = p + have;
        for (;;) {
            const char* nl = (const char*)memchr(p, '\n', (size_t)(end - p));
            if (!nl) break;
            number++;
            totals.lines++;
            if (skipping) skipping = false;
            else if (!line(p, nl)) malformed(name, number, p, nl);
            p = nl + 1;
        }
        have = (size_t)(end - p);
        if (have == buf.size()) {
            // A line longer than any nginx writes: malformed, and skipped to its end.
            if (!skipping) malformed(name, number + 1, p, p + 120);
            skipping = true;
            have = 0;
        } else {
            memmove(buf.data(), p, have);
        }
        progress.tick();
    }
    // A last line without its newline is one nginx is still writing.
    if (have) totals.cut_last++;
}

void print() {
    printf("S %lu %lu %lu %lu %lu %lu\n", (unsigned long)totals.lines, (unsigned long)totals.ads,
           (unsigned long)totals.other, (unsigned long)totals.malformed, (unsigned long)totals.cut_last,
           (unsigned long)totals.outside);
    for (const std::string& s : samples) printf("M %s\n", s.c_str());
    for (const Block& b : blocks)
        for (int ad = 0; ad < ADS; ad++) {
            const uint64_t* c = b.count[ad];
            if (c[SHOWN] | c[CUT] | c[FAILED] | c[AMBIGUOUS] | c[OTHER])
                printf("Q %ld %d %d %lu %lu %lu %lu %lu\n", (long)b.quarter, b.entry, ad + 1, (unsigned long)c[SHOWN],
                       (unsigned long)c[CUT], (unsigned long)c[FAILED], (unsigned long)c[AMBIGUOUS],
                       (unsigned long)c[OTHER]);
        }
    for (uint32_t id = 0; id < addresses.size(); id++) {
        const Address& a = addresses[id];
        printf("A %u %s %ld %ld %lu\n", id, a.name.c_str(), (long)a.first, (long)a.last, (unsigned long)a.requests);
    }
    for (const Span& s : open_spans) close_span(s);
    for (const Span& s : closed_spans)
        printf("C %u %ld %ld %lu\n", s.address, (long)s.first, (long)s.last, (unsigned long)s.n);
    for (const auto& kv : once)
        printf("P %u %lu %u\n", (unsigned)(kv.first >> 32), (unsigned long)(kv.first & 0xFFFFFFFFu), kv.second);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> files;
    for (int i = 1; i < argc; i++) {
        bool value = i + 1 < argc;
        if (!strcmp(argv[i], "--from") && value) window_from = atoll(argv[++i]);
        else if (!strcmp(argv[i], "--to") && value) window_to = atoll(argv[++i]);
        else if (!strcmp(argv[i], "--journal") && value) read_journal(argv[++i]);
        else files.push_back(argv[i]);
    }
    if (files.empty()) fail("%s%s", "usage: adset-logread [--from SEC] [--to SEC] [--journal TABLE] FILE|- ...", "");
    static char out[1 << 16];
    setvbuf(stdout, out, _IOFBF, sizeof out);
    std::vector<char> buf(BUFFER);
    progress.files = (int)files.size();
    for (const char* name : files) {
        progress.file++;
        read_file(name, buf);
    }
    print();
    return fflush(stdout) ? 2 : 0;
}
