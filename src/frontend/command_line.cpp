// Command line: the banner, the usage text, and our own option scanner with GNU getopt_long
// conventions (permutation, grouped short options, abbreviated long names) and the program's
// own error texts.
#include "frontend/command_line.h"

#include <array>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "aaczavrok.h"

namespace {

// Short options; a ':' after a letter means the option takes an argument.
constexpr char kShortOptions[] = "o:l:h:cdmvstpfkqrT:V";
// Long options without a short form; these stand in for one.
constexpr char kPackStatsOption = '\x01';
constexpr char kStdoutOption = '\x02';
constexpr char kTestOption = '\x03';
constexpr char kListOption = '\x04';
constexpr char kVerboseOption = '\x05';
constexpr char kHelpOption = '\x06';
constexpr char kRmOption = '\x07';
constexpr char kOutputDirOption = '\x08';

struct LongOption {
    const char* name;
    char short_name;  // the short option with the same effect
    bool takes_value = false;
};

// Of the data-block options none takes a value in its long form, so "--outfile",
// "--cutfreqlo" and "--cutfreqhi" are accepted but cannot carry one.
constexpr std::array<LongOption, 24> kLongOptions = {{
    {"compression", 'c'},
    {"decompression", 'd'},
    {"mode", 'm'},
    {"csv", 'v'},
    {"cutfreqlo", 'l'},
    {"cutfreqhi", 'h'},
    {"scompression", 's'},
    {"enabletns", 't'},
    {"outfile", 'o'},
    {"pack", 'p'},
    {"force", 'f'},
    {"keep", 'k'},
    {"quiet", 'q'},
    {"threads", 'T', true},
    {"version", 'V'},
    {"stdout", kStdoutOption},
    {"test", kTestOption},
    {"list", kListOption},
    {"verbose", kVerboseOption},
    {"help", kHelpOption},
    {"pack-stats", kPackStatsOption},
    {"recursive", 'r'},
    {"rm", kRmOption},
    {"output-dir", kOutputDirOption, true},
}};

constexpr char kRule[] = " ========================================================================\n";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a -l/-h argument: the first blank-delimited token read as a decimal number
// (its longest numeric prefix); 0.0 when there is none.
double parse_frequency(const char* text) {
    if (text == nullptr) return 0.0;
    const char* p = text;
    while (is_blank(*p)) ++p;

    // The longest prefix of the token that is a decimal number: sign, digits with at most one
    // point (at least one digit), then an exponent only when it has digits of its own.
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    bool has_digits = false;
    while (is_digit(*p)) {
        ++p;
        has_digits = true;
    }
    if (*p == '.') {
        ++p;
        while (is_digit(*p)) {
            ++p;
            has_digits = true;
        }
    }
    if (!has_digits) return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (is_digit(*q)) {
            while (is_digit(*q)) ++q;
            p = q;
        }
    }

    // strtod rounds correctly and saturates on overflow; it is handed only the checked prefix,
    // with the point spelled as the current locale expects, so neither hexadecimal forms, "inf"
    // and "nan" nor a locale's decimal comma change what the number means.
    std::string number(start, static_cast<std::size_t>(p - start));
    const std::lconv* lc = std::localeconv();
    const char* point = (lc != nullptr && lc->decimal_point != nullptr && lc->decimal_point[0] != '\0')
                            ? lc->decimal_point
                            : ".";
    if (const std::size_t dot = number.find('.'); dot != std::string::npos) number.replace(dot, 1, point);
    return std::strtod(number.c_str(), nullptr);
}

void add_error(CommandLine& cl, const char* program, const std::string& text) {
    cl.errors += program;
    cl.errors += ": " + text + "\n";
}

// The value of -T: a decimal count of threads, 0 for one per core up to two.
void apply_threads(CommandLine& cl, const char* program, const char* arg) {
    const std::size_t n = std::strlen(arg);
    if (n == 0 || n > 4 || std::strspn(arg, "0123456789") != n) {
        add_error(cl, program, std::string("invalid number of threads `") + arg + "'");
        return;
    }
    cl.threads = static_cast<unsigned>(std::atoi(arg));
}

// `arg` is null for the long form of an option whose long form carries no value.
void apply_option(CommandLine& cl, char short_name, const char* arg, const char* program) {
    Options& o = cl.options;
    cl.given += short_name;
    switch (short_name) {
        case 'c': o.compress = 1; break;
        case 'd':
            o.compress = 0;
            cl.unpack = true;
            break;
        case 'p': cl.pack = true; break;
        case 'f': cl.force = true; break;
        case 'k': break;  // inputs are always kept
        case 'q': cl.quiet = true; break;
        case 'r': cl.recursive = true; break;
        case kRmOption: cl.remove_input = true; break;
        case kOutputDirOption:
            cl.has_output_dir = true;
            cl.output_dir = arg != nullptr ? arg : "";
            break;
        case 'T': apply_threads(cl, program, arg); break;
        case 'V': cl.version = true; break;
        case kStdoutOption:
            cl.has_outfile = true;
            cl.outfile = "-";
            break;
        case kTestOption: cl.test = true; break;
        case kListOption: cl.list = true; break;
        case kVerboseOption: cl.verbose = true; break;
        case kHelpOption: cl.help = true; break;
        case kPackStatsOption: cl.pack_stats = true; break;
        case 'm': o.block_files = 1; break;
        case 'v': o.read_bin_blocks = 0; break;
        case 's': o.static_compression = 1; break;
        case 't': o.static_tns = 1; break;
        case 'o':
            if (arg != nullptr) {
                cl.has_outfile = true;
                cl.outfile = arg;
            }
            break;
        case 'l':
            if (arg != nullptr) o.cutfreqlo = parse_frequency(arg);
            break;
        case 'h':
            if (arg != nullptr) o.cutfreqhi = parse_frequency(arg);
            break;
        default: break;
    }
}

// One word that starts with "--" (and is not "--" itself). `name` points behind the dashes;
// `next` is the index of the word after it, moved on when that word is the option's value.
void parse_long_option(const char* word, const char* name, CommandLine& cl, const char* program, int argc,
                       char** argv, int& next) {
    const char* name_end = name;
    while (*name_end != '\0' && *name_end != '=') ++name_end;
    const std::size_t name_len = static_cast<std::size_t>(name_end - name);

    // An exact match wins; otherwise the prefix must select a single entry. Every entry has
    // its own effect, so two prefix matches are always ambiguous.
    const LongOption* found = nullptr;
    bool ambiguous = false;
    for (const LongOption& lo : kLongOptions) {
        if (std::strncmp(lo.name, name, name_len) != 0) continue;
        if (std::strlen(lo.name) == name_len) {
            found = &lo;
            ambiguous = false;
            break;
        }
        if (found == nullptr) {
            found = &lo;
        } else {
            ambiguous = true;
        }
    }

    if (ambiguous) {
        add_error(cl, program, std::string("option `") + word + "' is ambiguous");
        return;
    }
    if (found == nullptr) {
        add_error(cl, program, std::string("unrecognized option `--") + name + "'");
        return;
    }
    if (found->takes_value) {
        if (*name_end == '=') {
            apply_option(cl, found->short_name, name_end + 1, program);
        } else if (next < argc) {
            apply_option(cl, found->short_name, argv[next] != nullptr ? argv[next] : "", program);
            ++next;
        } else {
            add_error(cl, program, std::string("option `--") + found->name + "' requires an argument");
        }
        return;
    }
    if (*name_end == '=') {
        add_error(cl, program, std::string("option `--") + found->name + "' doesn't allow an argument");
        return;
    }
    apply_option(cl, found->short_name, nullptr, program);
}

}  // namespace

void parse_command_line(int argc, char** argv, bool posixly_correct, CommandLine& cl) {
    const char* program = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
    cl.options.program_name = program;

    int i = 1;
    while (i < argc) {
        const char* word = argv[i] != nullptr ? argv[i] : "";
        if (std::strcmp(word, "--") == 0) {
            ++i;
            break;
        }
        if (word[0] != '-' || word[1] == '\0') {
            if (posixly_correct) break;  // this and every later word are operands
            cl.operands.emplace_back(word);
            ++i;
            continue;
        }
        ++i;
        if (word[1] == '-') {
            parse_long_option(word, word + 2, cl, program, argc, argv, i);
            continue;
        }

        // A group of short options; one that takes an argument ends the group, with the rest of
        // the word or else the next word as its argument.
        const char* p = word + 1;
        while (*p != '\0') {
            const char c = *p++;
            const char* entry = (c == ':') ? nullptr : std::strchr(kShortOptions, c);
            if (entry == nullptr) {
                add_error(cl, program, std::string("illegal option -- ") + c);
                continue;
            }
            if (entry[1] != ':') {
                apply_option(cl, c, nullptr, program);
                continue;
            }
            if (*p != '\0') {
                apply_option(cl, c, p, program);
            } else if (i < argc) {
                apply_option(cl, c, argv[i] != nullptr ? argv[i] : "", program);
                ++i;
            } else {
                add_error(cl, program, std::string("option requires an argument -- ") + c);
            }
            break;
        }
    }
    for (; i < argc; ++i) cl.operands.emplace_back(argv[i] != nullptr ? argv[i] : "");
}

std::string normalise_build_date(const char* compiler_date) {
    if (compiler_date == nullptr) return std::string();
    std::string date(compiler_date);
    // The compiler writes "Mmm dd yyyy" with a blank before a one-digit day; the banner always
    // shows two digits.
    if (date.size() == 11 && date[3] == ' ' && date[4] == ' ' && is_digit(date[5])) date[4] = '0';
    return date;
}

void print_banner(std::FILE* err) {
    if (err == nullptr) return;
    const std::string date = normalise_build_date(__DATE__);
    std::fputs("\n", err);
    std::fputs(kRule, err);
    std::fputs("\n", err);
    std::fputs(" AAC Zavrok Version 0.1 alpha\n", err);
    std::fprintf(err, " Build: %s\n", date.c_str());
    std::fputs(" Utility to compress AAC audio files                                     \n", err);
    std::fputs("\n", err);
    std::fputs(kRule, err);
    std::fputs("\n", err);
}

void print_usage(std::FILE* out, const std::string& program_name) {
    if (out == nullptr) return;
    const char* program = program_name.c_str();
    std::fputs("\nUsage:\n", out);
    std::fprintf(out, "       %s [options] infile.aac\n", program);
    std::fprintf(out, "       %s -p [-f] [-q] [-r] [--rm] [-T N] [-o OUT | --stdout | --output-dir DIR] [FILE...]\n",
                 program);
    std::fprintf(out, "       %s -d [-f] [-q] [-r] [--rm] [-T N] [-o OUT | --stdout | --output-dir DIR] [FILE.aaz...]\n",
                 program);
    std::fprintf(out, "       %s --test | --list [--verbose] [-r] [FILE.aaz...]\n", program);
    std::fputs("\n"
               "Options:\n"
               " -o X  Set output filename.\n"
               " -c    Compression.\n"
               " -d    Decompression.\n"
               " -m    \"Printout\" data blocks to BIN and CSV files in Comp. mode.\n"
               "       Read data blocks from BIN and CSV files in Decomp. mode.\n"
               " -v    (Only with -m) Read data blocks only from CSV files in Decomp. mode. \n"
               " -l X  Set Lo cutoff frequency.\n"
               " -h X  Set Hi cutoff frequency.\n"
               " -s    Enable 'static compression' mode (Remove static data).\n"
               " -t    Enable TNS in 'static compression' mode.\n"
               " -p    Pack each FILE losslessly into FILE.aaz (no FILE: standard input to output).\n"
               " -f    Replace an existing output when packing or unpacking; pack a packed file.\n"
               " -k    Keep the input (--keep; inputs are always kept).\n"
               " -q    No line per file when packing or unpacking (--quiet).\n"
               " -r    Every file under each folder FILE names, depth first (--recursive).\n"
               " -T N  Threads for packing and unpacking, 0 for one per core up to two (--threads; default 2).\n"
               " -V    Print the version and exit (--version).\n"
               " --stdout   Write to standard output (the same as -o -).\n"
               " --rm       Remove each input once its output is complete, checked and on disk.\n"
               " --output-dir DIR  Write the outputs under DIR, in the inputs' folder tree.\n"
               " --test     Unpack and check every checksum; write nothing.\n"
               " --list     Show each packed file's format, chunks and sizes (--verbose: every chunk).\n"
               " --help     Print this text and exit.\n"
               "\n",
               out);
}

void print_version(std::FILE* out) {
    std::fprintf(out, "aaczavrok 0.1 alpha (packed format version %u)\n", aaz_format_version());
}

bool ends_with(const std::string& name, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
}

std::string wav_name_for(const std::string& input_name) {
    const std::size_t dot = input_name.rfind('.');
    std::string name = (dot == std::string::npos) ? input_name : input_name.substr(0, dot);
    name += ".wav";
    return name;
}

RebuildSettings rebuild_settings(const Options& options) {
    RebuildSettings s;
    s.block_files = options.block_files != 0;
    s.read_bin_blocks = options.read_bin_blocks != 0;
    s.static_compression = options.static_compression != 0;
    s.static_tns = options.static_tns != 0;
    s.cut_lo_hz = options.cutfreqlo;
    s.cut_hi_hz = options.cutfreqhi;
    return s;
}
