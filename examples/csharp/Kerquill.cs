// kerquill from C#: P/Invoke declarations for the whole C API of kerquill.h
// and a thin wrapper that keeps its ownership rules.
//
// Works with Mono (mcs/mono) and .NET alike. On Linux the runtime loads
// libkerquill.so (set LD_LIBRARY_PATH, or install it where the loader looks);
// on Windows kerquill.dll (the library starts Winsock itself).
//
// Ownership, as in the header: every const char * the library returns is its
// own storage, valid for the calling thread until that thread's next call of
// the same function. It is declared here as IntPtr and copied into a managed
// string at once (Text()); never free it. Texts going in are NUL-terminated
// UTF-8 (Utf8()), so passwords and folder names with non-ASCII letters arrive
// unchanged whatever the runtime's default marshalling.
//
// Threads: one connection, search result, export job and batch per process.
// kq_last_error is per thread: read it on the thread whose call failed. While
// an export or a batch runs on its thread, the calls that talk to the server
// are refused; the export/batch status and steering calls, kq_status,
// kq_last_error and the archive calls work, and an export's failure is in
// kq_export_stats_json's "error".
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kerquill
{
    public static class Native
    {
        const string Lib = "kerquill";
        const CallingConvention Cdecl = CallingConvention.Cdecl;

        // ---- connection
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_connect(byte[] configJson);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_disconnect();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_status();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_last_error();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_version();

        // ---- folders
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_folders_json();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_probe_folder(byte[] folder);

        // ---- search
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_search(byte[] folder, byte[] criteriaJson);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern double kq_search_progress();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_search_cancel();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_search_count();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_search_field(int index, byte[] key);

        // ---- fetch
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_fetch(int index);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_fetch_uid(byte[] folder, uint uid);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_fetch_header();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_fetch_body_text();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_fetch_save(byte[] path);

        // ---- attachments of the fetched message (the first argument is not used)
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_attachment_count();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_attachment_field(byte[] ignored, int index, byte[] key);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_attachment_save(byte[] ignored, int index, byte[] dir);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_attachment_saved_path();

        // ---- export job (runs on its own thread)
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_export_start(byte[] configJson);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_export_status();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern double kq_export_progress();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_export_stats_json();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_export_current();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_export_pause();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_export_resume();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_export_cancel();

        // ---- archives (no server needed)
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_verify_dir(byte[] dir);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_verify_report_json();
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_archive_stats_json(byte[] dir);

        // ---- batch export of all folders (runs on its own thread)
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_export_all_folders(byte[] configJson);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern IntPtr kq_export_all_status_json();

        // ---- restore of an archive folder (runs on its own thread; steered
        // with the kq_export_ calls above)
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_restore_start(byte[] configJson);
        [DllImport(Lib, CallingConvention = Cdecl)] public static extern int kq_restore_status();

        /// A managed string as the NUL-terminated UTF-8 bytes the library takes.
        public static byte[] Utf8(string text)
        {
            if (text == null) return null;
            int n = Encoding.UTF8.GetByteCount(text);
            byte[] bytes = new byte[n + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        /// Copies a text the library owns before the next call overwrites it.
        public static string Text(IntPtr p)
        {
            if (p == IntPtr.Zero) return "";
            int n = 0;
            while (Marshal.ReadByte(p, n) != 0) n++;
            byte[] bytes = new byte[n];
            Marshal.Copy(p, bytes, 0, n);
            return Encoding.UTF8.GetString(bytes);
        }
    }

    public class KerquillException : Exception
    {
        public KerquillException(string what) : base(what + ": " + Native.Text(Native.kq_last_error())) { }
        // A job fails on the library's thread, not this one: its reason is in
        // its stats ("error"), not in this thread's kq_last_error.
        public KerquillException(string what, string why) : base(what + ": " + why) { }
    }

    /// The library's one connection; Dispose logs out.
    public sealed class Mailbox : IDisposable
    {
        public Mailbox(string host, string user, string password, int port = 993, int ssl = 1,
                       string caFile = null)
        {
            var cfg = new StringBuilder("{");
            cfg.Append("\"host\":").Append(Json.Quote(host));
            cfg.Append(",\"port\":").Append(port);
            cfg.Append(",\"ssl\":").Append(ssl);
            cfg.Append(",\"user\":").Append(Json.Quote(user));
            cfg.Append(",\"pass\":").Append(Json.Quote(password));
            if (caFile != null) cfg.Append(",\"ca_file\":").Append(Json.Quote(caFile));
            cfg.Append("}");
            byte[] config = Native.Utf8(cfg.ToString());
            int rc = Native.kq_connect(config);
            Array.Clear(config, 0, config.Length);  // it holds the password
            cfg.Clear();
            if (rc != 0) throw new KerquillException("connect to " + host);
        }

        public void Dispose() { Native.kq_disconnect(); }

        public int Status { get { return Native.kq_status(); } }

        public string FoldersJson()
        {
            string text = Native.Text(Native.kq_folders_json());
            if (text.Length == 0) throw new KerquillException("list folders");
            return text;
        }

        public string ProbeJson(string folder)
        {
            string text = Native.Text(Native.kq_probe_folder(Native.Utf8(folder)));
            if (text.Length == 0) throw new KerquillException("probe " + folder);
            return text;
        }

        /// Fills the library's one result table; returns its row count.
        public int Search(string folder, string criteriaJson = "{}")
        {
            if (Native.kq_search(Native.Utf8(folder), Native.Utf8(criteriaJson)) != 0)
                throw new KerquillException("search " + folder);
            return Native.kq_search_count();
        }

        public string Field(int row, string key)
        {
            return Native.Text(Native.kq_search_field(row, Native.Utf8(key)));
        }

        public void Fetch(int row)
        {
            if (Native.kq_fetch(row) != 0) throw new KerquillException("fetch row " + row);
        }

        public string Header { get { return Native.Text(Native.kq_fetch_header()); } }
        public string BodyText { get { return Native.Text(Native.kq_fetch_body_text()); } }
        public int AttachmentCount { get { return Native.kq_attachment_count(); } }

        public string AttachmentField(int index, string key)
        {
            return Native.Text(Native.kq_attachment_field(null, index, Native.Utf8(key)));
        }

        /// Saves attachment index into dir; returns the path of the file
        /// written (its name may carry " (2)" when the first one was taken).
        public string SaveAttachment(int index, string dir)
        {
            if (Native.kq_attachment_save(null, index, Native.Utf8(dir)) != 0)
                throw new KerquillException("save attachment " + index);
            return Native.Text(Native.kq_attachment_saved_path());
        }

        /// Exports the last search result into dir and waits for the job;
        /// returns its final stats JSON.
        public string Export(string dir, bool dated = false, Action<double> progress = null)
        {
            string cfg = "{\"dir\":" + Json.Quote(dir) + ",\"naming\":" + Json.Quote(dated ? "YYYY\\MM\\uid" : "uid") + "}";
            if (Native.kq_export_start(Native.Utf8(cfg)) != 0) throw new KerquillException("start export");
            int state;
            // Nobody pauses this job, so 3 can only mean cancelled (by another thread).
            while ((state = Native.kq_export_status()) == 1)
            {
                if (progress != null) progress(Native.kq_export_progress());
                System.Threading.Thread.Sleep(100);
            }
            if (state == 4) throw new KerquillException("export", Native.Text(Native.kq_export_stats_json()));
            if (state == 3) throw new KerquillException("export", "cancelled");
            return Native.Text(Native.kq_export_stats_json());
        }

        public static string VerifyJson(string dir)
        {
            if (Native.kq_verify_dir(Native.Utf8(dir)) != 0) throw new KerquillException("verify " + dir);
            return Native.Text(Native.kq_verify_report_json());
        }

        public static string ArchiveStatsJson(string dir)
        {
            string text = Native.Text(Native.kq_archive_stats_json(Native.Utf8(dir)));
            if (text.Length == 0) throw new KerquillException("stats " + dir);
            return text;
        }
    }

    public static class Json
    {
        /// A JSON string literal: quotes, backslashes and control characters escaped.
        public static string Quote(string s)
        {
            var b = new StringBuilder("\"");
            foreach (char c in s)
            {
                if (c == '"' || c == '\\') b.Append('\\').Append(c);
                else if (c < 0x20) b.AppendFormat("\\u{0:x4}", (int)c);
                else b.Append(c);
            }
            return b.Append('"').ToString();
        }
    }
}
