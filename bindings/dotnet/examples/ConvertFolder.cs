// Converts every image of a folder on all processors through the settings
// interface, the way the rastra command line does with its worker processes,
// but with threads of one process.
//
//   ConvertFolder INPUT_DIR OUTPUT_DIR [--max WxH] [--format auto|png|jpeg|webp|bmp] [--quality N]
//
// The library plans the run (which inputs, which outputs, in which order);
// the candidates are then converted with Parallel.ForEach. Two inputs that
// write the same output (a.jpg and a.png with --format webp) form a chain,
// converted in order on one task, so the later one wins as in a serial run.
// As on the rastra command line, photos are turned upright by their EXIF
// orientation, embedded colour profiles are converted to sRGB and the fast
// codecs read and write JPEG and PNG (a new RastraSettings holds the
// library's defaults, which do none of these).
//
// Standard output: the totals as one line of JSON,
//   {"processed":N,"failed":N,"total_input_bytes":N,"total_output_bytes":N}
// standard error: each failed file. Exit status: 0 when every file converted,
// 1 when one failed (or nothing could be planned), 2 on a usage error.
//
// Build (Mono):  mcs -out:ConvertFolder.exe Rastra.cs examples/ConvertFolder.cs
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;
using RastraInterop;

static class ConvertFolder
{
    const string Usage =
        "usage: ConvertFolder INPUT_DIR OUTPUT_DIR [--max WxH] [--format auto|png|jpeg|webp|bmp] [--quality N]";

    sealed class UsageError : Exception
    {
        public UsageError(string message) : base(message) { }
    }

    static int Main(string[] args)
    {
        var positional = new List<string>();
        int[] max = null;
        int format = Rastra.RASTRA_FORMAT_AUTO;
        int quality = -1;
        try
        {
            for (int i = 0; i < args.Length; i++)
            {
                string arg = args[i];
                if (arg == "--max") max = ParseBox(Value(args, ref i));
                else if (arg == "--format") format = ParseFormat(Value(args, ref i));
                else if (arg == "--quality") quality = ParseNumber(Value(args, ref i), "--quality", 0, 100);
                else if (arg.StartsWith("--")) throw new UsageError("unknown option " + arg);
                else positional.Add(arg);
            }
            if (positional.Count != 2) throw new UsageError("expected an input and an output folder");
        }
        catch (UsageError e)
        {
            Console.Error.WriteLine("ConvertFolder: " + e.Message);
            Console.Error.WriteLine(Usage);
            return 2;
        }

        using (var settings = new RastraSettings())
        {
            settings.SetAutoOrient(true).SetColor(RastraColor.Srgb).SetCodecs(RastraCodecs.Fast).SetFormat(format);
            if (max != null) settings.SetResize(max[0], max[1]);
            if (quality >= 0) settings.SetQuality(quality);

            List<RastraCandidate> plan;
            try
            {
                plan = Rastra.Plan(positional[0], positional[1], settings);
            }
            catch (RastraException e)
            {
                Console.Error.WriteLine("ConvertFolder: " + e.Message);
                Console.WriteLine(Json(0, 0, 0, 0));
                return 1;
            }

            // A candidate that follows none starts a chain; one that follows k
            // joins k's chain, after it.
            var chains = new List<List<RastraCandidate>>();
            var chainOf = new Dictionary<int, List<RastraCandidate>>();
            foreach (RastraCandidate c in plan)
            {
                List<RastraCandidate> chain;
                if (c.Follows < 0 || !chainOf.TryGetValue(c.Follows, out chain))
                {
                    chain = new List<RastraCandidate>();
                    chains.Add(chain);
                }
                chain.Add(c);
                chainOf[c.Index] = chain;
            }

            long processed = 0, failed = 0, inputBytes = 0, outputBytes = 0;
            Parallel.ForEach(chains, chain =>
            {
                foreach (RastraCandidate c in chain)
                {
                    if (c.Output == null)
                    {
                        // The library could not name its output (a path too long).
                        Interlocked.Increment(ref failed);
                        Console.Error.WriteLine("ConvertFolder: " + c.Message);
                        continue;
                    }
                    RastraResult r = Rastra.ConvertFileResult(c.Input, c.Output, settings);
                    if (r.Converted)
                    {
                        Interlocked.Increment(ref processed);
                        Interlocked.Add(ref inputBytes, (long)r.InputBytes);
                        Interlocked.Add(ref outputBytes, (long)r.OutputBytes);
                    }
                    else
                    {
                        Interlocked.Increment(ref failed);
                        Console.Error.WriteLine("ConvertFolder: " + r.Message);
                    }
                }
            });

            Console.WriteLine(Json(processed, failed, inputBytes, outputBytes));
            return processed > 0 && failed == 0 ? 0 : 1;
        }
    }

    static string Json(long processed, long failed, long inputBytes, long outputBytes)
    {
        return "{\"processed\":" + processed + ",\"failed\":" + failed + ",\"total_input_bytes\":" + inputBytes +
               ",\"total_output_bytes\":" + outputBytes + "}";
    }

    static string Value(string[] args, ref int i)
    {
        if (i + 1 >= args.Length) throw new UsageError(args[i] + " needs a value");
        return args[++i];
    }

    static int ParseNumber(string text, string option, int min, int max)
    {
        int value;
        if (text.Length == 0 || text.Length > 9 || !IsDigits(text) || (value = int.Parse(text)) < min || value > max)
        {
            throw new UsageError(option + " expects a whole number from " + min + " to " + max + ", not '" + text + "'");
        }
        return value;
    }

    static bool IsDigits(string text)
    {
        foreach (char ch in text)
        {
            if (ch < '0' || ch > '9') return false;
        }
        return true;
    }

    static int[] ParseBox(string text)
    {
        int x = text.IndexOfAny(new[] { 'x', 'X' });
        if (x > 0 && x < text.Length - 1 && IsDigits(text.Substring(0, x)) && IsDigits(text.Substring(x + 1)) &&
            x <= 9 && text.Length - x - 1 <= 9)
        {
            return new[] { int.Parse(text.Substring(0, x)), int.Parse(text.Substring(x + 1)) };
        }
        throw new UsageError("--max expects WxH with whole numbers of pixels, e.g. 1920x1080 or 800x0, not '" + text + "'");
    }

    static int ParseFormat(string text)
    {
        switch (text)
        {
            case "auto": return Rastra.RASTRA_FORMAT_AUTO;
            case "png": return Rastra.RASTRA_FORMAT_PNG;
            case "jpeg":
            case "jpg": return Rastra.RASTRA_FORMAT_JPEG;
            case "webp": return Rastra.RASTRA_FORMAT_WEBP;
            case "bmp": return Rastra.RASTRA_FORMAT_BMP;
            default: throw new UsageError("--format expects auto, png, jpeg, webp or bmp, not '" + text + "'");
        }
    }
}
