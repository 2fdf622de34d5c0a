#include <new>

#include "basekit/ucfile.h"
#include "ucfilememory.h"
#include "ucfilemedia.h"
#include "ucfileordinary.h"

IUCFile* CUCFileFactory::CreateUCFile(int type) {
    CUCFileObject* file = nullptr;
    switch (type) {
        case UCFILE_ORDINARY: file = new (std::nothrow) CUCFileOrdinary(); break;
        case UCFILE_MEDIA: file = new (std::nothrow) CUCFileMedia(); break;
        case UCFILE_MEMORY: file = new (std::nothrow) CUCFileMemory(); break;
        default: return nullptr;
    }
    if (file) file->AddReference();  // the caller's reference
    return file;
}
