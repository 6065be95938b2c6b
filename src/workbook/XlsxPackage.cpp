// The zip container of an .xlsx workbook (libzip) and the streaming XML
// parser (expat) that every part goes through, with the limits that keep a
// hostile package from exhausting memory or time.
#include <expat.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "common/Text.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFormats.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook::xlsx {

namespace {

// What went wrong, as a clause of a message; the library's own text
// follows where it says more.
std::string zipErrorText(int code) {
    switch (code) {
        case ZIP_ER_NOENT:
            return "文件不存在";
        case ZIP_ER_OPEN:
            return "文件无法打开";
        case ZIP_ER_NOZIP:
            return "它不是Excel工作簿（.xlsx），或者文件已损坏、不完整（不是有效的zip压缩包）";
        case ZIP_ER_INCONS:
        case ZIP_ER_CRC:
        case ZIP_ER_EOF:
        case ZIP_ER_ZLIB:
        case ZIP_ER_COMPRESSED_DATA:
            return "文件已损坏或不完整";
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
            return "读取文件时出错";
        case ZIP_ER_MEMORY:
            return "内存不足";
        case ZIP_ER_COMPNOTSUPP:
            return "文件使用了本程序无法读取的压缩方式";
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            return "它设有打开密码（已加密）";
        default: {
            zip_error_t error;
            zip_error_init_with_code(&error, code);
            std::string text = zip_error_strerror(&error);
            zip_error_fini(&error);
            return "出现错误（" + text + "）";
        }
    }
}

// What to do about it.
const char* zipErrorAdvice(int code) {
    switch (code) {
        case ZIP_ER_NOENT:
            return "请检查文件路径后重试。";
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
            return "请检查文件是否存在并且可以读取。";
        case ZIP_ER_MEMORY:
            return "请关闭其他程序后重试。";
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            return "请在电子表格程序中取消密码、保存后重试。";
        default:
            return kSaveAgainAdvice;
    }
}

// Its kind.
WorkbookFault zipErrorFault(int code) {
    switch (code) {
        case ZIP_ER_NOENT:
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
            return WorkbookFault::CannotRead;
        // Only a file that starts as a zip archive comes here: one that is
        // none after all is damaged.
        case ZIP_ER_NOZIP:
        case ZIP_ER_INCONS:
        case ZIP_ER_CRC:
        case ZIP_ER_EOF:
        case ZIP_ER_ZLIB:
        case ZIP_ER_COMPRESSED_DATA:
            return WorkbookFault::Damaged;
        case ZIP_ER_COMPNOTSUPP:
            return WorkbookFault::Unsupported;
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_WRONGPASSWD:
            return WorkbookFault::Encrypted;
        default:
            return WorkbookFault::Other;
    }
}

[[noreturn]] void fail(const std::string& path, const std::string& what,
                       WorkbookFault fault = WorkbookFault::Damaged,
                       const char* advice = kSaveAgainAdvice) {
    throw WorkbookError("无法读取工作簿" + inQuotes(path) + "：" + what + "。" + advice, fault);
}

}  // namespace

struct Package::Zip {
    zip_t* archive = nullptr;
    ~Zip() {
        if (archive) {
            zip_discard(archive);
        }
    }
};

Package::Package(const std::string& path) : m_path(path), m_zip(std::make_unique<Zip>()) {
    int code = 0;
    m_zip->archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
    if (!m_zip->archive) {
        fail(path, zipErrorText(code), zipErrorFault(code), zipErrorAdvice(code));
    }
    refuseRepeatedNames();
}

// Two entries of one name (part names compare without regard to case) leave
// open which of them is the part: readers differ in the one they take, so
// such a package is refused rather than read one way.
void Package::refuseRepeatedNames() const {
    const zip_int64_t count = zip_get_num_entries(m_zip->archive, 0);
    std::unordered_set<std::string> seen;
    seen.reserve(static_cast<std::size_t>(std::max<zip_int64_t>(count, 0)));
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(m_zip->archive, static_cast<zip_uint64_t>(i), 0);
        if (name == nullptr) {
            continue;
        }
        if (!seen.insert(asciiLower(name)).second) {
            fail(m_path,
                 "文件已损坏，其中有两个名为" + inQuotes(name) + "的部件，无法确定应读取哪一个");
        }
    }
}

Package::~Package() = default;

bool Package::has(const std::string& part) const {
    return zip_name_locate(m_zip->archive, part.c_str(), ZIP_FL_NOCASE) >= 0;
}

void Package::streamRaw(const std::string& part, void (*sink)(void*, const char*, std::size_t),
                        void* context) {
    // Part names compare without regard to case in a package.
    zip_int64_t index = zip_name_locate(m_zip->archive, part.c_str(), ZIP_FL_NOCASE);
    if (index < 0) {
        fail(m_path, "文件不是完整的工作簿，其中缺少部件" + inQuotes(part));
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(m_zip->archive, static_cast<zip_uint64_t>(index), 0, &st) != 0) {
        fail(m_path,
             "无法检查其中的部件" + inQuotes(part) + "（" + zip_strerror(m_zip->archive) + "）");
    }
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE) {
        fail(m_path, "它设有打开密码（已加密）", WorkbookFault::Encrypted,
             "请在电子表格程序中取消密码、保存后重试。");
    }
    auto bombText = [&] {
        return "其中的部件" + inQuotes(part) +
               "解压后超出了工作簿可能的大小（文件已损坏，或是恶意的zip炸弹）";
    };
    if (st.valid & ZIP_STAT_SIZE) {
        if (st.size > kMaxInflatedBytes - m_inflated) {
            fail(m_path, bombText());
        }
        if ((st.valid & ZIP_STAT_COMP_SIZE) && st.size >= kRatioCheckFrom &&
            st.size / (st.comp_size + 1) > kMaxRatio) {
            fail(m_path, bombText());
        }
    }
    zip_file_t* file = zip_fopen_index(m_zip->archive, static_cast<zip_uint64_t>(index), 0);
    if (!file) {
        const int code = zip_error_code_zip(zip_get_error(m_zip->archive));
        fail(m_path, "无法打开其中的部件" + inQuotes(part) + "：" + zipErrorText(code),
             code == ZIP_ER_COMPNOTSUPP || code == ZIP_ER_ENCRNOTSUPP ? zipErrorFault(code)
                                                                      : WorkbookFault::Damaged);
    }
    struct Closer {
        zip_file_t* f;
        ~Closer() { zip_fclose(f); }
    } closer{file};

    // The declared size may lie: count what really comes out.
    std::uint64_t read = 0;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        zip_int64_t n = zip_fread(file, buffer.data(), buffer.size());
        if (n < 0) {
            fail(m_path, "其中的部件" + inQuotes(part) + "已损坏：" +
                             zipErrorText(zip_error_code_zip(zip_file_get_error(file))));
        }
        if (n == 0) {
            break;
        }
        read += static_cast<std::uint64_t>(n);
        m_inflated += static_cast<std::uint64_t>(n);
        if (m_inflated > kMaxInflatedBytes || ((st.valid & ZIP_STAT_SIZE) && read > st.size) ||
            ((st.valid & ZIP_STAT_COMP_SIZE) && read >= kRatioCheckFrom &&
             read / (st.comp_size + 1) > kMaxRatio)) {
            fail(m_path, bombText());
        }
        sink(context, buffer.data(), static_cast<std::size_t>(n));
    }
}

std::optional<std::string_view> findAttribute(const std::vector<Attribute>& attributes,
                                              std::string_view name) {
    for (const Attribute& a : attributes) {
        if (a.name == name) {
            return a.value;
        }
    }
    return std::nullopt;
}

namespace {

// Names come as written, "prefix:local" or bare; the handlers go by the local
// part alone. Expat's namespace mode would give the same local names but
// expands every name of every element first, which costs a large share of
// the reading time of a big sheet.
// One pass over the (short) name finds both its end and its last colon.
std::string_view localName(const char* qualified) {
    const char* local = qualified;
    const char* end = qualified;
    for (; *end != '\0'; ++end) {
        if (*end == ':') {
            local = end + 1;
        }
    }
    return std::string_view(local, static_cast<std::size_t>(end - local));
}

// A namespace declaration ("xmlns", "xmlns:x"), not an attribute of the element.
bool isNamespaceDeclaration(const char* name) {
    return name[0] == 'x' && std::strncmp(name, "xmlns", 5) == 0 &&
           (name[5] == '\0' || name[5] == ':');
}

// Drives expat over chunks; keeps the first error thrown by the handler and
// stops the parser, since exceptions must not cross expat's C frames.
class XmlParser {
public:
    XmlParser(std::string partName, XmlHandler& handler)
        : m_part(std::move(partName)), m_handler(handler) {
        m_parser = XML_ParserCreate(nullptr);
        if (!m_parser) {
            throw WorkbookError("内存不足，无法读取工作簿。请关闭其他程序后重试。");
        }
        XML_SetUserData(m_parser, this);
        XML_SetElementHandler(m_parser, &XmlParser::onStart, &XmlParser::onEnd);
        XML_SetCharacterDataHandler(m_parser, &XmlParser::onText);
        XML_SetStartDoctypeDeclHandler(m_parser, &XmlParser::onDoctype);
    }
    ~XmlParser() { XML_ParserFree(m_parser); }
    XmlParser(const XmlParser&) = delete;
    XmlParser& operator=(const XmlParser&) = delete;

    void feed(const char* data, std::size_t size, bool last) {
        while (size > 0 || last) {
            int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
            bool final = last && static_cast<std::size_t>(chunk) == size;
            if (XML_Parse(m_parser, data, chunk, final) != XML_STATUS_OK) {
                raise();
            }
            data += chunk;
            size -= static_cast<std::size_t>(chunk);
            if (final) {
                break;
            }
        }
    }

private:
    [[noreturn]] void raise() {
        if (m_error) {
            std::rethrow_exception(m_error);
        }
        throw WorkbookError(
            "工作簿已损坏：其中的部件" + inQuotes(m_part) + "不是格式正确的XML（第" +
                std::to_string(XML_GetCurrentLineNumber(m_parser)) + "行：" +
                XML_ErrorString(XML_GetErrorCode(m_parser)) + "）。" + kSaveAgainAdvice,
            WorkbookFault::Damaged);
    }

    void stop(std::exception_ptr error) {
        if (!m_error) {
            m_error = std::move(error);
        }
        XML_StopParser(m_parser, XML_FALSE);
    }

    static void onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
        auto* self = static_cast<XmlParser*>(data);
        if (self->m_error) {
            return;
        }
        try {
            self->m_attributes.clear();
            for (int i = 0; attrs[i]; i += 2) {
                if (!isNamespaceDeclaration(attrs[i])) {
                    self->m_attributes.push_back({localName(attrs[i]), attrs[i + 1]});
                }
            }
            self->m_handler.startElement(localName(name), self->m_attributes);
        } catch (...) {
            self->stop(std::current_exception());
        }
    }
    static void onEnd(void* data, const XML_Char* name) {
        auto* self = static_cast<XmlParser*>(data);
        if (self->m_error) {
            return;
        }
        try {
            self->m_handler.endElement(localName(name));
        } catch (...) {
            self->stop(std::current_exception());
        }
    }
    static void onText(void* data, const XML_Char* text, int length) {
        auto* self = static_cast<XmlParser*>(data);
        if (self->m_error) {
            return;
        }
        try {
            self->m_handler.characters(std::string_view(text, static_cast<std::size_t>(length)));
        } catch (...) {
            self->stop(std::current_exception());
        }
    }
    static void onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        auto* self = static_cast<XmlParser*>(data);
        self->stop(std::make_exception_ptr(WorkbookError(
            "工作簿已损坏或含有恶意内容：其中的部件" + inQuotes(self->m_part) +
                "带有文档类型声明（DOCTYPE），正常的工作簿不会有。" + kSaveAgainAdvice,
            WorkbookFault::Damaged)));
    }

    std::string m_part;
    XmlHandler& m_handler;
    XML_Parser m_parser = nullptr;
    std::vector<Attribute> m_attributes;
    std::exception_ptr m_error;
};

}  // namespace

void parsePart(Package& package, const std::string& part, XmlHandler& handler) {
    XmlParser parser(part, handler);
    package.stream(part,
                   [&](const char* data, std::size_t size) { parser.feed(data, size, false); });
    parser.feed("", 0, true);
}

void parseXml(std::string_view xml, const std::string& partName, XmlHandler& handler) {
    XmlParser parser(partName, handler);
    parser.feed(xml.data(), xml.size(), true);
}

// --- Relationships -------------------------------------------------------

std::string relationshipsPartOf(const std::string& part) {
    std::size_t slash = part.rfind('/');
    std::string folder = slash == std::string::npos ? "" : part.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? part : part.substr(slash + 1);
    return folder + "_rels/" + file + ".rels";
}

std::string resolveTarget(const std::string& sourcePart, std::string_view target) {
    std::string joined;
    if (!target.empty() && target.front() == '/') {
        joined = std::string(target.substr(1));
    } else {
        std::size_t slash = sourcePart.rfind('/');
        joined = (slash == std::string::npos ? "" : sourcePart.substr(0, slash + 1)) +
                 std::string(target);
    }
    // Normalise "." and ".." segments.
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos) {
            end = joined.size();
        }
        std::string segment = joined.substr(start, end - start);
        if (segment == "..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& s : segments) {
        if (!result.empty()) {
            result += '/';
        }
        result += s;
    }
    return result;
}

namespace {

class RelationshipsHandler : public XmlHandler {
public:
    explicit RelationshipsHandler(const std::string& source) : m_source(source) {}
    std::vector<Relationship> relationships;

    void startElement(std::string_view name, const std::vector<Attribute>& attributes) override {
        if (name != "Relationship") {
            return;
        }
        auto mode = findAttribute(attributes, "TargetMode");
        if (mode && *mode == "External") {
            return;
        }
        auto id = findAttribute(attributes, "Id");
        auto type = findAttribute(attributes, "Type");
        auto target = findAttribute(attributes, "Target");
        if (!id || !type || !target) {
            return;
        }
        std::string_view t = *type;
        std::size_t slash = t.rfind('/');
        relationships.push_back(
            {std::string(*id),
             std::string(slash == std::string_view::npos ? t : t.substr(slash + 1)),
             resolveTarget(m_source, *target)});
    }
    void endElement(std::string_view) override {}
    void characters(std::string_view) override {}

private:
    std::string m_source;
};

class ContentTypesHandler : public XmlHandler {
public:
    std::string workbookPart;
    void startElement(std::string_view name, const std::vector<Attribute>& attributes) override {
        if (name != "Override" || !workbookPart.empty()) {
            return;
        }
        auto type = findAttribute(attributes, "ContentType");
        auto part = findAttribute(attributes, "PartName");
        if (type && part &&
            (type->find("spreadsheetml.sheet.main+xml") != std::string_view::npos ||
             type->find("spreadsheetml.template.main+xml") != std::string_view::npos ||
             type->find("ms-excel.sheet.macroEnabled.main+xml") != std::string_view::npos ||
             type->find("ms-excel.sheet.binary.macroEnabled.main") != std::string_view::npos)) {
            workbookPart = resolveTarget("", *part);
        }
    }
    void endElement(std::string_view) override {}
    void characters(std::string_view) override {}
};

}  // namespace

std::vector<Relationship> readRelationships(Package& package, const std::string& sourcePart) {
    std::string relsPart = sourcePart.empty() ? "_rels/.rels" : relationshipsPartOf(sourcePart);
    if (!package.has(relsPart)) {
        return {};
    }
    RelationshipsHandler handler(sourcePart);
    parsePart(package, relsPart, handler);
    return std::move(handler.relationships);
}

namespace {

// A package whose workbook part is binary is an .xlsb workbook.
bool isBinaryPart(std::string_view part) {
    const std::string_view bin = ".bin";
    return part.size() >= bin.size() &&
           equalsIgnoreCase(part.substr(part.size() - bin.size()), bin);
}

[[noreturn]] void refuseBinaryWorkbook(const Package& package) {
    throw WorkbookError(
        "无法读取工作簿" + inQuotes(package.path()) +
            "：这是Excel二进制工作簿（.xlsb），本程序不能读取，请在电子表格程序中另存为"
            ".xlsx或.xls后再导入。",
        WorkbookFault::Unsupported);
}

}  // namespace

std::string findOfficeDocument(Package& package) {
    std::string part;
    for (const Relationship& r : readRelationships(package, "")) {
        if (r.type == "officeDocument" && package.has(r.target)) {
            part = r.target;
            break;
        }
    }
    // A package without its root relationships: the content types still name
    // the workbook part.
    if (part.empty() && package.has("[Content_Types].xml")) {
        ContentTypesHandler handler;
        parsePart(package, "[Content_Types].xml", handler);
        if (!handler.workbookPart.empty() && package.has(handler.workbookPart)) {
            part = handler.workbookPart;
        }
    }
    if (part.empty() && package.has("xl/workbook.bin")) {
        part = "xl/workbook.bin";
    }
    if (isBinaryPart(part)) {
        refuseBinaryWorkbook(package);
    }
    if (!part.empty()) {
        return part;
    }
    throw WorkbookError("无法读取文件" + inQuotes(package.path()) + "：它不是工作簿（" +
                            extensionList() +
                            "）。这个zip压缩包中没有工作簿部件，可能是"
                            "其他类型的文档，或者已经损坏。" +
                            kSaveAgainAdvice,
                        WorkbookFault::NotAWorkbook);
}

}  // namespace pos::workbook::xlsx
