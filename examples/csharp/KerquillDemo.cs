// A small C# host: logs in with settings from the environment (KQ_HOST,
// KQ_PORT, KQ_USER, KQ_PASSWORD, KQ_PLAIN=1, KQ_CA_FILE), lists the folders,
// shows the newest message of FOLDER, and with an archive directory exports
// that folder and verifies the archive.
//
//   mcs -out:kerquill-demo.exe Kerquill.cs KerquillDemo.cs
//   LD_LIBRARY_PATH=/opt/kerquill/lib mono kerquill-demo.exe INBOX [ARCHIVE_DIR]
using System;
using Kerquill;

static class KerquillDemo
{
    static string Env(string name, string fallback)
    {
        string v = Environment.GetEnvironmentVariable(name);
        return string.IsNullOrEmpty(v) ? fallback : v;
    }

    static int Main(string[] argv)
    {
        string folder = argv.Length > 0 ? argv[0] : "INBOX";
        string archive = argv.Length > 1 ? argv[1] : null;
        string host = Env("KQ_HOST", null), user = Env("KQ_USER", null), pass = Env("KQ_PASSWORD", null);
        if (host == null || user == null || pass == null)
        {
            Console.Error.WriteLine("kerquill-demo: set KQ_HOST, KQ_USER and KQ_PASSWORD");
            return 2;
        }
        bool plain = Env("KQ_PLAIN", "0") == "1";
        int port = int.Parse(Env("KQ_PORT", plain ? "143" : "993"));
        try
        {
            using (var box = new Mailbox(host, user, pass, port, plain ? 0 : 1, Env("KQ_CA_FILE", null)))
            {
                Console.WriteLine("status: " + box.Status);
                Console.WriteLine("folders: " + box.FoldersJson());
                int rows = box.Search(folder);
                Console.WriteLine(folder + ": " + rows + " messages");
                if (rows > 0)
                {
                    box.Fetch(rows - 1);
                    Console.WriteLine("newest: uid " + box.Field(rows - 1, "uid") + " subject " + box.Field(rows - 1, "subject"));
                    Console.WriteLine("attachments: " + box.AttachmentCount);
                }
                if (archive != null)
                {
                    Console.WriteLine("export: " + box.Export(archive));
                    Console.WriteLine("verify: " + Mailbox.VerifyJson(archive));
                    Console.WriteLine("stats: " + Mailbox.ArchiveStatsJson(archive));
                }
            }
            return 0;
        }
        catch (KerquillException e)
        {
            Console.Error.WriteLine("kerquill-demo: " + e.Message);
            return 1;
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine("kerquill-demo: libkerquill not found (" + e.Message + "); set LD_LIBRARY_PATH");
            return 1;
        }
    }
}
