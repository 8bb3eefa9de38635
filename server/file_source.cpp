#include "file_source.h"

#include "local_file.h"

#include <new>
#include <string_view>

bool IsUrlName(const WireChar *name)
{
    return name && std::u16string_view(name).find(u"://") != std::u16string_view::npos;
}

std::unique_ptr<CVirtualFileInterface> MakeFileSource(const WireChar *name)
{
    if (IsUrlName(name))
        return MakeUrlSource();
    return std::unique_ptr<CVirtualFileInterface>(new (std::nothrow) CLocalFileInterface);
}
