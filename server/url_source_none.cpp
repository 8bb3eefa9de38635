// Outside Windows there is no Internet library: a URL is a name like any
// other, tried as a local file.
#include "file_source.h"

#include "local_file.h"

#include <new>

std::unique_ptr<CVirtualFileInterface> MakeUrlSource()
{
    return std::unique_ptr<CVirtualFileInterface>(new (std::nothrow) CLocalFileInterface);
}
