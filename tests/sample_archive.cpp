#include "sample_archive.h"

namespace test {

Bytes sample_archive_bytes()
{
    ArchiveBuilder b;
    b.folder("docs");
    b.stored("readme.txt", "This archive is the tool's own sample.\nEdit any file, then repack.\n");
    b.compressed("notes.txt", sample_data(6000, 1, true));
    b.deleted("draft.txt");
    b.end();
    b.folder("data");
    b.compressed("table.csv", "id,name\n1,alpha\n2,beta\n3,gamma\n");
    b.folder("images").stored("pixel.raw", sample_data(256, 2, false)).end();
    b.folder("empty").end();
    b.end();
    return b.build().bytes;
}

}  // namespace test
