#include "file_source.h"

#include "local_file.h"

#include <new>
#include <string_view>

namespace {

bool IsUrl(const WireChar *name)
{
    return name && std::u16string_view(name).find(u"://") != std::u16string_view::npos;
}

} // namespace

std::unique_ptr<CVirtualFileInterface> MakeFileSource(const WireChar *name)
{
    if (IsUrl(name))
        return MakeUrlSource();
    return std::unique_ptr<CVirtualFileInterface>(new (std::nothrow) CLocalFileInterface);
}
