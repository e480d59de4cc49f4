// Tests of the C# bindings against a built library: a self-checking program.
//   mono RastraTests.exe [ConvertFolder.exe]
// Prints each case, then "N passed, M failed"; exits 1 when a case failed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.IO.Compression;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using RastraInterop;

static class RastraTests
{
    static int passed, failed;
    static string temp;

    static int Main(string[] args)
    {
        temp = Path.Combine(Path.GetTempPath(), "rastra-dotnet-" + Guid.NewGuid().ToString("N"));
        Directory.CreateDirectory(temp);
        try
        {
            Structures();
            InMemory();
            Failures();
            SharedSettings();
            Files();
            ColourAndMetadata();
            Codecs();
            Planning();
            ProcessWide();
            if (args.Length > 0) Example(args[0]);
        }
        finally
        {
            try { Directory.Delete(temp, true); } catch (Exception) { }
        }
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    // ---- Harness and fixtures ----------------------------------------------

    static void Case(string name, Action body)
    {
        try
        {
            body();
            passed++;
            Console.WriteLine("ok   " + name);
        }
        catch (Exception e)
        {
            failed++;
            Console.WriteLine("FAIL " + name + ": " + e);
        }
    }

    static void Expect(bool condition, string what)
    {
        if (!condition) throw new Exception("expected " + what);
    }

    static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(what + ": expected <" + expected + ">, got <" + actual + ">");
    }

    static T Throws<T>(Action body) where T : Exception
    {
        try { body(); }
        catch (T e) { return e; }
        throw new Exception("expected " + typeof(T).Name);
    }

    // A bottom-up 24-bit BMP whose pixels depend on seed.
    static byte[] Bmp(int width, int height, int seed)
    {
        int row = (width * 3 + 3) & ~3;
        var b = new byte[54 + row * height];
        b[0] = (byte)'B';
        b[1] = (byte)'M';
        Action<int, int> put = (at, v) => { for (int i = 0; i < 4; i++) b[at + i] = (byte)(v >> (8 * i)); };
        put(2, b.Length);
        put(10, 54);
        put(14, 40);
        put(18, width);
        put(22, height);
        put(26, 1 | (24 << 16));  // planes, bits per pixel
        put(34, row * height);
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
            {
                int at = 54 + y * row + x * 3;
                b[at] = (byte)(x * 6 + seed);
                b[at + 1] = (byte)(y * 12);
                b[at + 2] = (byte)(seed * 50 + x * y);
            }
        return b;
    }

    static int BigEndian(byte[] b, int at)
    {
        return (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
    }

    static byte[] BigEndianBytes(uint v)
    {
        return new[] { (byte)(v >> 24), (byte)(v >> 16), (byte)(v >> 8), (byte)v };
    }

    static uint Crc32(byte[] data)
    {
        uint crc = 0xFFFFFFFF;
        foreach (byte b in data)
        {
            crc ^= b;
            for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320 & (uint)-(int)(crc & 1));
        }
        return ~crc;
    }

    // The PNG with a chunk of this type and body after its IHDR.
    static byte[] WithChunk(byte[] png, string type, byte[] body)
    {
        byte[] typed = Encoding.ASCII.GetBytes(type).Concat(body).ToArray();
        byte[] chunk = BigEndianBytes((uint)body.Length).Concat(typed).Concat(BigEndianBytes(Crc32(typed))).ToArray();
        return png.Take(33).Concat(chunk).Concat(png.Skip(33)).ToArray();
    }

    // The body of a PNG's first chunk of this type, or null.
    static byte[] Chunk(byte[] png, string type)
    {
        for (int at = 8; at + 12 <= png.Length; at += 12 + BigEndian(png, at))
            if (Encoding.ASCII.GetString(png, at + 4, 4) == type)
                return png.Skip(at + 8).Take(BigEndian(png, at)).ToArray();
        return null;
    }

    // A little-endian TIFF block with one IFD entry: the orientation.
    static byte[] Exif(int orientation)
    {
        return new byte[] { (byte)'I', (byte)'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0,
                            (byte)orientation, 0, 0, 0, 0, 0, 0, 0 };
    }

    // An ICC v2 RGB matrix profile with sRGB's primaries and a straight (gamma 1) curve.
    static byte[] LinearRgbProfile()
    {
        Func<double, byte[]> s15 = v => BigEndianBytes((uint)(int)Math.Round(v * 65536));
        Func<double, double, double, byte[]> xyz = (x, y, z) =>
            Encoding.ASCII.GetBytes("XYZ \0\0\0\0").Concat(s15(x)).Concat(s15(y)).Concat(s15(z)).ToArray();
        byte[] curve = Encoding.ASCII.GetBytes("curv\0\0\0\0").Concat(BigEndianBytes(1))
            .Concat(new byte[] { 1, 0, 0, 0 }).ToArray();
        var tags = new[]
        {
            Tuple.Create("wtpt", xyz(0.9642, 1.0, 0.8249)), Tuple.Create("rXYZ", xyz(0.4361, 0.2225, 0.0139)),
            Tuple.Create("gXYZ", xyz(0.3851, 0.7169, 0.0971)), Tuple.Create("bXYZ", xyz(0.1431, 0.0606, 0.7141)),
            Tuple.Create("rTRC", curve), Tuple.Create("gTRC", curve), Tuple.Create("bTRC", curve),
        };
        var table = new List<byte>(BigEndianBytes((uint)tags.Length));
        var data = new List<byte>();
        int start = 128 + 4 + 12 * tags.Length;
        foreach (var tag in tags)
        {
            table.AddRange(Encoding.ASCII.GetBytes(tag.Item1));
            table.AddRange(BigEndianBytes((uint)(start + data.Count)));
            table.AddRange(BigEndianBytes((uint)tag.Item2.Length));
            data.AddRange(tag.Item2);
        }
        var header = new byte[128];
        BigEndianBytes((uint)(start + data.Count)).CopyTo(header, 0);
        BigEndianBytes(0x02100000).CopyTo(header, 8);
        Encoding.ASCII.GetBytes("mntrRGB XYZ ").CopyTo(header, 12);
        Encoding.ASCII.GetBytes("acsp").CopyTo(header, 36);
        xyz(0.9642, 1.0, 0.8249).Skip(8).ToArray().CopyTo(header, 68);  // the illuminant, D50
        return header.Concat(table).Concat(data).ToArray();
    }

    static byte[] Zlib(byte[] data)
    {
        var zlib = new MemoryStream();
        zlib.Write(new byte[] { 0x78, 0x9C }, 0, 2);
        using (var deflate = new DeflateStream(zlib, CompressionMode.Compress, true)) deflate.Write(data, 0, data.Length);
        uint a = 1, b = 0;
        foreach (byte x in data)
        {
            a = (a + x) % 65521;
            b = (b + a) % 65521;
        }
        zlib.Write(BigEndianBytes(b << 16 | a), 0, 4);
        return zlib.ToArray();
    }

    static byte[] Inflate(byte[] zlib)
    {
        using (var z = new DeflateStream(new MemoryStream(zlib, 2, zlib.Length - 2), CompressionMode.Decompress))
        using (var inflated = new MemoryStream())
        {
            z.CopyTo(inflated);
            return inflated.ToArray();
        }
    }

    // The red, green and blue of a BMP's first stored pixel.
    static string FirstPixel(byte[] bmp)
    {
        int at = bmp[10] | bmp[11] << 8 | bmp[12] << 16 | bmp[13] << 24;
        return bmp[at + 2] + "," + bmp[at + 1] + "," + bmp[at];
    }

    // Flat 8x8 blocks with a little noise in one channel: compressible, but not trivially.
    static byte[] BlockyNoise(int width, int height)
    {
        byte[] b = Bmp(width, height, 0);
        var random = new Random(5);
        int row = (width * 3 + 3) & ~3;
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
            {
                int at = 54 + y * row + x * 3, v = (x / 8 * 16 + y / 8 * 8) % 256;
                b[at] = (byte)(v + random.Next(4));
                b[at + 1] = (byte)v;
                b[at + 2] = (byte)(255 - v);
            }
        return b;
    }

    // An image's pixels as the library decodes them: the pixel array of its BMP.
    static byte[] Decoded(byte[] image)
    {
        using (var s = new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_BMP))
        {
            byte[] bmp = Rastra.Convert(image, s);
            return bmp.Skip(bmp[10] | bmp[11] << 8 | bmp[12] << 16 | bmp[13] << 24).ToArray();
        }
    }

    // A PNG's IHDR colour type: 2 for RGB, 6 for RGBA.
    static int ColourType(byte[] png)
    {
        Equal("IHDR", Encoding.ASCII.GetString(png, 12, 4), "the first chunk");
        return png[25];
    }

    static RastraImageInfo ProbeOk(byte[] image)
    {
        RastraImageInfo? info = Rastra.Probe(image);
        Expect(info.HasValue, "a recognised image");
        return info.Value;
    }

    static string NewDir(string name)
    {
        string dir = Path.Combine(temp, name);
        Directory.CreateDirectory(dir);
        return dir;
    }

    // ---- Cases ---------------------------------------------------------------

    static void Structures()
    {
        Case("structures have the C layout (64-bit)", () =>
        {
            if (IntPtr.Size != 8) return;
            Equal(560, Marshal.SizeOf(typeof(Rastra.rastra_result)), "sizeof rastra_result");
            Equal(32, (int)Marshal.OffsetOf(typeof(Rastra.rastra_result), "input_bytes"), "offset of input_bytes");
            Equal(48, (int)Marshal.OffsetOf(typeof(Rastra.rastra_result), "message"), "offset of message");
            Equal(32, Marshal.SizeOf(typeof(Rastra.rastra_candidate)), "sizeof rastra_candidate");
            Equal(16, Marshal.SizeOf(typeof(Rastra.rastra_image_info)), "sizeof rastra_image_info");
        });
    }

    static void InMemory()
    {
        byte[] bmp = Bmp(40, 20, 1);
        Case("Convert writes a PNG of the right size, shrunk to the box", () =>
        {
            using (var s = new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG))
            {
                byte[] png = Rastra.Convert(bmp, s);
                Expect(png.Take(8).SequenceEqual(new byte[] { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A }), "the PNG signature");
                Equal(40, BigEndian(png, 16), "IHDR width");
                Equal(20, BigEndian(png, 20), "IHDR height");
                RastraImageInfo info = ProbeOk(Rastra.Convert(bmp, s.SetResize(10, 10)));
                Equal(Rastra.RASTRA_FORMAT_PNG, info.Format, "format");
                Equal(10, info.Width, "width");
                Equal(5, info.Height, "height");
            }
        });
        Case("Convert keeps the input's format without settings, and writes each format asked for", () =>
        {
            RastraImageInfo same = ProbeOk(Rastra.Convert(bmp));
            Equal(Rastra.RASTRA_FORMAT_BMP, same.Format, "format without settings");
            Equal(40, same.Width, "width");
            foreach (int format in new[] { Rastra.RASTRA_FORMAT_JPEG, Rastra.RASTRA_FORMAT_WEBP, Rastra.RASTRA_FORMAT_BMP })
                using (var s = new RastraSettings().SetFormat(format).SetQuality(70))
                {
                    RastraImageInfo info = ProbeOk(Rastra.Convert(bmp, s));
                    Equal(format, info.Format, "format written");
                    Equal(20, info.Height, "height");
                }
        });
        Case("Probe reads a header cut short and refuses what is no image", () =>
        {
            RastraImageInfo info = ProbeOk(bmp.Take(54).ToArray());
            Equal(Rastra.RASTRA_FORMAT_BMP, info.Format, "format");
            Equal(40, info.Width, "width");
            Equal(20, info.Height, "height");
            Equal(1, info.Orientation, "orientation");
            Expect(Rastra.Probe(new byte[] { 1, 2, 3, 4, 5, 6, 7, 8 }) == null, "null for garbage");
            Expect(Rastra.Probe(new byte[0]) == null, "null for no bytes");
        });
    }

    static void Failures()
    {
        Case("Convert failures throw the library's message", () =>
        {
            var e = Throws<RastraException>(() => Rastra.Convert(new byte[] { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }));
            Equal("convert: unsupported image format: input", e.Message, "message");
            Expect(Throws<RastraException>(() => Rastra.Convert(new byte[0])).Message.StartsWith("convert: "), "a message for no bytes");
            using (var s = new RastraSettings().SetMaxPixels(100))
                Equal("convert: image too large: input", Throws<RastraException>(() => Rastra.Convert(Bmp(40, 20, 1), s)).Message, "over the pixel limit");
        });
        Case("disposed settings are refused, not used after free", () =>
        {
            var s = new RastraSettings();
            s.Dispose();
            s.Dispose();
            Throws<ObjectDisposedException>(() => Rastra.Convert(Bmp(4, 4, 1), s));
            Throws<ObjectDisposedException>(() => s.SetQuality(50));
        });
    }

    static void SharedSettings()
    {
        byte[] bmp = Bmp(64, 48, 2);
        Case("one settings object on 8 threads gives byte-identical outputs", () =>
        {
            using (var s = new RastraSettings())
            {
                s.SetFormat(Rastra.RASTRA_FORMAT_JPEG).SetQuality(80).SetResize(32, 32).SetWatermark("(c) rastra", 8, 0.7f);
                byte[] expected = Rastra.Convert(bmp, s);
                var outputs = new byte[64][];
                Parallel.For(0, outputs.Length, new ParallelOptions { MaxDegreeOfParallelism = 8 }, i => outputs[i] = Rastra.Convert(bmp, s));
                Expect(outputs.All(o => o.SequenceEqual(expected)), "every output equal to the serial one");
            }
        });
    }

    static void Files()
    {
        string dir = NewDir("files");
        byte[] bmp = Bmp(30, 16, 3);
        Case("ConvertFile writes the bytes Convert returns, at a non-ASCII path", () =>
        {
            string input = Path.Combine(dir, "photo-\u00e9t\u00e9.bmp"), output = Path.Combine(dir, "out-\u00fc.png");
            File.WriteAllBytes(input, bmp);
            using (var s = new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG))
            {
                Rastra.ConvertFile(input, output, s);
                Expect(File.ReadAllBytes(output).SequenceEqual(Rastra.Convert(bmp, s)), "the same bytes");
            }
            string missing = Path.Combine(dir, "missing-\u00e9.bmp");
            Equal("process_file: cannot read " + missing,
                  Throws<RastraException>(() => Rastra.ConvertFile(missing, output)).Message, "message");
        });
        Case("ConvertFileResult reports a conversion's formats, size and byte counts", () =>
        {
            string input = Path.Combine(dir, "a.bmp"), output = Path.Combine(dir, "a.png");
            File.WriteAllBytes(input, bmp);
            RastraResult r = Rastra.ConvertFileResult(input, output);
            Expect(r.Converted, "converted: " + r.Message);
            Equal(Rastra.RASTRA_REASON_NONE, r.Reason, "reason");
            Equal(0, r.SystemError, "system error");
            Equal(Rastra.RASTRA_FORMAT_BMP, r.InputFormat, "input format");
            Equal(Rastra.RASTRA_FORMAT_PNG, r.OutputFormat, "output format from the extension");
            Equal(30, r.Width, "width");
            Equal(16, r.Height, "height");
            Equal((ulong)bmp.Length, r.InputBytes, "input bytes");
            Equal((ulong)new FileInfo(output).Length, r.OutputBytes, "output bytes");
            Equal("", r.Message, "message");
        });
        Case("ConvertFileResult tells why a conversion failed", () =>
        {
            string missing = Path.Combine(dir, "missing.bmp");
            RastraResult r = Rastra.ConvertFileResult(missing, Path.Combine(dir, "x.png"));
            Expect(!r.Converted, "a failure");
            Equal(Rastra.RASTRA_REASON_NO_SUCH_FILE, r.Reason, "reason");
            Equal(2, r.SystemError, "ENOENT");
            Equal("process_file: cannot read " + missing, r.Message, "message");
            // Automatic format: neither name has a known extension.
            string undetermined = Path.Combine(dir, "a.dat"), unnamed = Path.Combine(dir, "a.xyz");
            File.WriteAllBytes(undetermined, bmp);
            r = Rastra.ConvertFileResult(undetermined, unnamed);
            Equal(Rastra.RASTRA_REASON_NO_OUTPUT_FORMAT, r.Reason, "reason for an unknown extension");
            Equal("process_file: cannot determine output format from " + unnamed, r.Message, "message");
        });
    }

    static void ColourAndMetadata()
    {
        byte[] png = Rastra.Convert(Bmp(12, 6, 4), new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG));
        Case("SetKeepMetadata copies the EXIF block; a mask out of range changes nothing", () =>
        {
            byte[] tagged = WithChunk(png, "eXIf", Exif(6));
            using (var s = new RastraSettings())
            {
                Expect(Chunk(Rastra.Convert(tagged, s), "eXIf") == null, "no EXIF kept by default");
                s.SetKeepMetadata(RastraMetadata.Exif);
                Expect(Exif(6).SequenceEqual(Chunk(Rastra.Convert(tagged, s), "eXIf") ?? new byte[0]), "the EXIF block kept");
                s.SetKeepMetadata((RastraMetadata)8).SetAutoOrient(true);
                Expect(Exif(1).SequenceEqual(Chunk(Rastra.Convert(tagged, s), "eXIf") ?? new byte[0]),
                       "still kept, saying orientation 1 once turned upright");
                s.SetKeepMetadata(RastraMetadata.Xmp);
                Expect(Chunk(Rastra.Convert(tagged, s), "eXIf") == null, "EXIF left out when only XMP is kept");
            }
        });
        Case("SetColor: Ignore by default, Srgb converts the pixels, Keep and RastraMetadata.Icc embed the profile", () =>
        {
            byte[] grey = Rastra.Convert(Bmp(8, 8, 0).Select((b, i) => i < 54 ? b : (byte)128).ToArray(),
                                         new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG));
            byte[] profile = LinearRgbProfile();
            byte[] tagged = WithChunk(grey, "iCCP", Encoding.ASCII.GetBytes("linear\0\0").Concat(Zlib(profile)).ToArray());
            // Each takes new settings and disposes them.
            Func<RastraSettings, string> pixel = s =>
            {
                using (s) return FirstPixel(Rastra.Convert(tagged, s.SetFormat(Rastra.RASTRA_FORMAT_BMP)));
            };
            Func<RastraSettings, byte[]> embedded = s =>
            {
                using (s)
                {
                    byte[] iccp = Chunk(Rastra.Convert(tagged, s.SetFormat(Rastra.RASTRA_FORMAT_PNG)), "iCCP");
                    return iccp == null ? null : Inflate(iccp.Skip("ICC profile\0\0".Length).ToArray());
                }
            };
            Equal("128,128,128", pixel(new RastraSettings()), "the pixels as decoded by default");
            Expect(embedded(new RastraSettings()) == null, "the profile dropped by default");
            Equal("188,188,188", pixel(new RastraSettings().SetColor(RastraColor.Srgb)), "linear 128 converted to sRGB");
            Expect(embedded(new RastraSettings().SetColor(RastraColor.Srgb)) == null, "no profile once converted");
            Equal("188,188,188", pixel(new RastraSettings().SetColor(RastraColor.Srgb).SetColor((RastraColor)3)),
                  "a mode out of range changes nothing");
            foreach (Func<RastraSettings> keep in new Func<RastraSettings>[]
                     {
                         () => new RastraSettings().SetColor(RastraColor.Keep),
                         () => new RastraSettings().SetColor(RastraColor.Srgb).SetKeepMetadata(RastraMetadata.Icc),
                     })
            {
                Equal("128,128,128", pixel(keep()), "the pixels as decoded when the profile is kept");
                Expect(profile.SequenceEqual(embedded(keep()) ?? new byte[0]), "the profile embedded");
            }
        });
        Case("process-wide: rastra_set_color and rastra_set_keep_metadata hold until rastra_init", () =>
        {
            string input = Path.Combine(NewDir("pw-meta"), "tagged.png"), output = Path.Combine(temp, "pw-meta.png");
            byte[] iccp = Encoding.ASCII.GetBytes("linear\0\0").Concat(Zlib(LinearRgbProfile())).ToArray();
            File.WriteAllBytes(input, WithChunk(WithChunk(png, "eXIf", Exif(3)), "iCCP", iccp));
            Func<string> kept = () =>
            {
                Equal(1, Rastra.rastra_process_file(input, output), "rastra_process_file");
                byte[] written = File.ReadAllBytes(output);
                return (Chunk(written, "eXIf") != null ? "exif " : "") + (Chunk(written, "iCCP") != null ? "icc" : "");
            };
            Rastra.rastra_init();
            Equal("", kept(), "nothing kept after rastra_init");
            Rastra.rastra_set_keep_metadata(Rastra.RASTRA_KEEP_EXIF);
            Rastra.rastra_set_keep_metadata(Rastra.RASTRA_KEEP_ALL + 1);
            Equal("exif ", kept(), "EXIF kept, an unknown bit ignored");
            Rastra.rastra_set_color(Rastra.RASTRA_COLOR_KEEP);
            Equal("exif icc", kept(), "the profile kept too");
            Rastra.rastra_init();
            Equal("", kept(), "both reset");
        });
    }

    static void Codecs()
    {
        byte[] png = Rastra.Convert(Bmp(300, 200, 5), new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG));
        byte[] jpeg = Rastra.Convert(BlockyNoise(300, 200), new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_JPEG));
        Case("SetCodecs: Reference when new; Fast gives the same sizes, opaque PNGs as RGB with the same pixels", () =>
        {
            // (100, 100) shrinks the JPEG by more than half: the fast set decodes it at a reduced scale.
            foreach (int[] box in new[] { new[] { 0, 0 }, new[] { 100, 100 } })
                foreach (byte[] input in new[] { png, jpeg })
                {
                    Func<RastraSettings, byte[]> convert = s =>
                    {
                        using (s)
                            return Rastra.Convert(input, s.SetFormat(Rastra.RASTRA_FORMAT_PNG).SetResize(box[0], box[1]));
                    };
                    byte[] byDefault = convert(new RastraSettings());
                    byte[] reference = convert(new RastraSettings().SetCodecs(RastraCodecs.Reference));
                    byte[] fast = convert(new RastraSettings().SetCodecs(RastraCodecs.Fast));
                    Expect(byDefault.SequenceEqual(reference), "the reference codecs when new");
                    Equal(6, ColourType(reference), "the reference set's colour type");
                    Equal(2, ColourType(fast), "the fast set's colour type for an opaque image");
                    RastraImageInfo r = ProbeOk(reference), f = ProbeOk(fast);
                    Equal(r.Width + "x" + r.Height, f.Width + "x" + f.Height, "the size in both sets");
                    if (input == png)
                        Expect(Decoded(fast).SequenceEqual(Decoded(reference)), "the same pixels from a PNG");
                    Expect(convert(new RastraSettings().SetCodecs(RastraCodecs.Fast).SetCodecs((RastraCodecs)2))
                           .SequenceEqual(fast), "a set out of range changes nothing");
                }
        });
        Case("SetPngLevel: 9 writes no more than 1, the pixels alike; out of range changes nothing", () =>
        {
            byte[] noise = BlockyNoise(256, 128);
            Func<RastraSettings, byte[]> convert = s =>
            {
                using (s) return Rastra.Convert(noise, s.SetFormat(Rastra.RASTRA_FORMAT_PNG));
            };
            var sizes = new Dictionary<int, int>();
            const int standard = Rastra.RASTRA_PNG_LEVEL_DEFAULT;
            foreach (int level in new[] { 1, standard, 9 })
            {
                byte[] written = convert(new RastraSettings().SetCodecs(RastraCodecs.Fast).SetPngLevel(level));
                Expect(Decoded(written).SequenceEqual(Decoded(noise)), "the pixels at level " + level);
                sizes[level] = written.Length;
            }
            Expect(sizes[9] <= sizes[standard] && sizes[standard] < sizes[1],
                   "smaller at higher levels: " + sizes[1] + ", " + sizes[standard] + ", " + sizes[9]);
            Func<RastraSettings> fast = () => new RastraSettings().SetCodecs(RastraCodecs.Fast);
            Equal(sizes[standard], convert(fast()).Length, "the default level");
            foreach (int bad in new[] { 0, 10, -1 })
                Equal(sizes[1], convert(fast().SetPngLevel(1).SetPngLevel(bad)).Length, "level " + bad + " ignored");
            Expect(convert(new RastraSettings().SetPngLevel(1)).SequenceEqual(convert(new RastraSettings().SetPngLevel(9))),
                   "the reference set ignores the level");
        });
        Case("SetWebpLossless keeps every pixel in either codec set, whatever the quality", () =>
        {
            byte[] bmp = Bmp(64, 48, 7);
            foreach (RastraCodecs codecs in new[] { RastraCodecs.Reference, RastraCodecs.Fast })
                using (var s = new RastraSettings().SetCodecs(codecs).SetFormat(Rastra.RASTRA_FORMAT_WEBP))
                {
                    byte[] lossy = Rastra.Convert(bmp, s);
                    Equal("VP8 ", Encoding.ASCII.GetString(lossy, 12, 4), "lossy when new");
                    Expect(!Decoded(lossy).SequenceEqual(Decoded(bmp)), "lossy pixels differ");
                    foreach (int quality in new[] { 0, 100 })
                    {
                        byte[] lossless = Rastra.Convert(bmp, s.SetWebpLossless(true).SetQuality(quality));
                        Equal("VP8L", Encoding.ASCII.GetString(lossless, 12, 4), "lossless chunk");
                        Expect(Decoded(lossless).SequenceEqual(Decoded(bmp)), "every pixel kept at quality " + quality);
                    }
                    Expect(Rastra.Convert(bmp, s.SetWebpLossless(false).SetQuality(90)).SequenceEqual(lossy),
                           "lossy again once off");
                }
        });
        Case("process-wide: rastra_set_codecs and rastra_set_png_level hold until rastra_init", () =>
        {
            string input = Path.Combine(NewDir("pw-codecs"), "noise.bmp"), output = Path.Combine(temp, "pw-codecs.png");
            File.WriteAllBytes(input, BlockyNoise(256, 128));
            Func<byte[]> convert = () =>
            {
                Equal(1, Rastra.rastra_process_file(input, output), "rastra_process_file");
                return File.ReadAllBytes(output);
            };
            Rastra.rastra_init();
            Equal(6, ColourType(convert()), "the reference set after rastra_init");
            Rastra.rastra_set_codecs(Rastra.RASTRA_CODECS_FAST);
            Rastra.rastra_set_codecs(7);
            byte[] level6 = convert();
            Equal(2, ColourType(level6), "the fast set, an unknown one ignored");
            Rastra.rastra_set_png_level(1);
            Rastra.rastra_set_png_level(10);
            Expect(convert().Length > level6.Length, "level 1 larger than the default, 10 ignored");
            Rastra.rastra_init();
            Equal(6, ColourType(convert()), "reset");
            Rastra.rastra_set_codecs(Rastra.RASTRA_CODECS_FAST);
            Expect(convert().SequenceEqual(level6), "the level reset too");
            Rastra.rastra_init();
        });
    }

    static void Planning()
    {
        Case("Plan lists candidates in order, chaining inputs that share an output", () =>
        {
            string input = NewDir("plan-in"), output = Path.Combine(temp, "plan-out", "web");
            foreach (string name in new[] { "a.bmp", "b.bmp", "c.bmp" }) File.WriteAllBytes(Path.Combine(input, name), Bmp(8, 8, 4));
            File.WriteAllBytes(Path.Combine(input, "c.png"), Rastra.Convert(Bmp(8, 8, 5), new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG)));
            File.WriteAllText(Path.Combine(input, "notes.txt"), "not an image");
            using (var s = new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_WEBP))
            {
                List<RastraCandidate> plan = Rastra.Plan(input, output, s);
                Equal(4, plan.Count, "candidates");
                Expect(Directory.Exists(output), "the output folder created");
                for (int i = 0; i < plan.Count; i++)
                {
                    RastraCandidate c = plan[i];
                    Equal(i, c.Index, "index");
                    Equal(output, Path.GetDirectoryName(c.Output), "output folder");
                    Equal(Path.GetFileNameWithoutExtension(c.Input) + ".webp", Path.GetFileName(c.Output), "output name");
                    Expect(c.Message == null, "no message");
                }
                var c1 = plan.Where(c => Path.GetFileNameWithoutExtension(c.Input) == "c").ToList();
                Equal(2, c1.Count, "two inputs named c");
                Equal(-1, c1[0].Follows, "the first c follows none");
                Equal(c1[0].Index, c1[1].Follows, "the second c follows the first");
                Equal(2, plan.Count(c => c.Follows == -1 && Path.GetFileNameWithoutExtension(c.Input) != "c"), "a and b follow none");
            }
        });
        Case("Plan failures throw the run's message", () =>
        {
            string missing = Path.Combine(temp, "no-such-dir");
            Equal("run: cannot open directory " + missing,
                  Throws<RastraException>(() => Rastra.Plan(missing, Path.Combine(temp, "o1"))).Message, "missing folder");
            string empty = NewDir("empty");
            Equal("run: no images found in " + empty,
                  Throws<RastraException>(() => Rastra.Plan(empty, Path.Combine(temp, "o2"))).Message, "folder without images");
        });
        Case("SameFile knows one file under two spellings and nothing else", () =>
        {
            string dir = NewDir("same");
            string a = Path.Combine(dir, "a.bmp"), b = Path.Combine(dir, "b.bmp");
            File.WriteAllBytes(a, Bmp(4, 4, 7));
            File.WriteAllBytes(b, Bmp(4, 4, 7));
            Expect(Rastra.SameFile(a, Path.Combine(dir, ".", "a.bmp")), "another spelling of a");
            Expect(!Rastra.SameFile(a, b), "a copy is another file");
            Expect(!Rastra.SameFile(a, Path.Combine(dir, "missing.bmp")), "a missing file");
            Expect(!Rastra.SameFile(null, a), "null");
        });
        Case("Plan reports a candidate whose output path is too long", () =>
        {
            string input = NewDir("long-in");
            string longName = new string('n', 200) + ".bmp";
            File.WriteAllBytes(Path.Combine(input, longName), Bmp(4, 4, 6));
            File.WriteAllBytes(Path.Combine(input, "s.bmp"), Bmp(4, 4, 6));
            string output = Path.Combine(temp, "long-out");
            while (output.Length < Rastra.RASTRA_PATH_MAX - 150) output = Path.Combine(output, new string('d', 100));
            List<RastraCandidate> plan = Rastra.Plan(input, output);
            Equal(2, plan.Count, "candidates");
            RastraCandidate unnamed = plan.Single(c => c.Output == null);
            Equal(longName, unnamed.Input, "the bare name");
            Equal("run: path too long: " + longName, unnamed.Message, "message");
            Expect(plan.Single(c => c.Output != null).Input.EndsWith("s.bmp"), "the short name planned");
        });
    }

    static void ProcessWide()
    {
        string input = NewDir("pw-in"), output = Path.Combine(temp, "pw-out");
        File.WriteAllBytes(Path.Combine(input, "a.bmp"), Bmp(8, 6, 7));
        File.WriteAllBytes(Path.Combine(input, "b.bmp"), Bmp(8, 6, 8));
        Case("process-wide: statistics, last error, plan_run", () =>
        {
            Equal(1, Rastra.rastra_init(), "rastra_init");
            Equal("{\"processed\":0,\"failed\":0,\"total_input_bytes\":0,\"total_output_bytes\":0}", Rastra.Stats(), "stats");
            string target = Path.Combine(temp, "pw.png");
            Equal(1, Rastra.rastra_process_file(Path.Combine(input, "a.bmp"), target), "rastra_process_file");
            Equal("{\"processed\":1,\"failed\":0,\"total_input_bytes\":" + new FileInfo(Path.Combine(input, "a.bmp")).Length +
                  ",\"total_output_bytes\":" + new FileInfo(target).Length + "}", Rastra.Stats(), "stats after one file");
            Equal(0, Rastra.rastra_process_file(Path.Combine(input, "none.bmp"), target), "missing input");
            Equal("process_file: cannot read " + Path.Combine(input, "none.bmp"), Rastra.LastError(), "last error");
            var seen = new List<string>();
            Rastra.rastra_plan_callback callback = (user, i, o, m) => seen.Add(Marshal.PtrToStringAnsi(o));
            Equal(2, Rastra.rastra_plan_run(input, output, callback, IntPtr.Zero), "plan_run");
            GC.KeepAlive(callback);
            Equal(Path.Combine(output, "a.bmp") + "|" + Path.Combine(output, "b.bmp"), string.Join("|", seen), "planned outputs");
        });
        Case("process-wide Run: the observer stops the run, its exceptions come back", () =>
        {
            Rastra.rastra_init();
            var seen = new List<string>();
            Expect(Rastra.Run(input, output, (i, o, converted, message) => { seen.Add(Path.GetFileName(i) + converted); return false; }), "a file converted");
            Equal("a.bmpTrue", string.Join(",", seen), "files observed");
            Equal("run: stopped by the observer after 1 of 2 files", Rastra.LastError(), "last error");
            var e = Throws<InvalidOperationException>(() => Rastra.Run(input, output, (i, o, c, m) => { throw new InvalidOperationException("from the observer"); }));
            Equal("from the observer", e.Message, "the observer's exception");
            GC.Collect();
            GC.WaitForPendingFinalizers();
            Equal(1, Rastra.rastra_run(input, output), "a later run without the observer");
            Rastra.rastra_init();
            Expect(Rastra.Run(input, output), "Run without an observer to convert");
        });
    }

    static void Example(string exe)
    {
        Case("the ConvertFolder example converts chains in order and totals the bytes", () =>
        {
            string input = NewDir("ex-in"), output = Path.Combine(temp, "ex-out");
            var files = new Dictionary<string, byte[]>
            {
                { "a.bmp", Bmp(24, 16, 9) },
                { "b.bmp", Bmp(16, 24, 10) },
                { "c.bmp", Bmp(12, 12, 11) },
                { "c.png", Rastra.Convert(Bmp(12, 12, 12), new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG)) },
                { "c.jpg", Rastra.Convert(Bmp(12, 12, 13), new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_JPEG)) },
                { "broken.png", new byte[] { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 1, 2 } },
            };
            foreach (var f in files) File.WriteAllBytes(Path.Combine(input, f.Key), f.Value);
            var s = new RastraSettings().SetFormat(Rastra.RASTRA_FORMAT_PNG).SetResize(10, 10).SetAutoOrient(true)
                                        .SetColor(RastraColor.Srgb).SetCodecs(RastraCodecs.Fast);
            List<RastraCandidate> plan = Rastra.Plan(input, output, s);
            long inBytes = 0, outBytes = 0;
            byte[] lastC = null;
            foreach (RastraCandidate c in plan)
            {
                byte[] source = files[Path.GetFileName(c.Input)];
                if (Path.GetFileName(c.Input) == "broken.png") continue;
                byte[] converted = Rastra.Convert(source, s);
                inBytes += source.Length;
                outBytes += converted.Length;
                if (Path.GetFileNameWithoutExtension(c.Input) == "c") lastC = converted;
            }
            var run = Process.Start(new ProcessStartInfo("mono", "\"" + exe + "\" \"" + input + "\" \"" + output + "\" --format png --max 10x10")
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            });
            string stdout = run.StandardOutput.ReadToEnd(), stderr = run.StandardError.ReadToEnd();
            run.WaitForExit();
            Equal(1, run.ExitCode, "exit status with a failed file");
            Equal("{\"processed\":5,\"failed\":1,\"total_input_bytes\":" + inBytes + ",\"total_output_bytes\":" + outBytes + "}",
                  stdout.Trim(), "totals");
            Expect(stderr.Contains(Path.Combine(input, "broken.png")), "the failure on stderr: " + stderr);
            Expect(File.ReadAllBytes(Path.Combine(output, "c.png")).SequenceEqual(lastC), "the later c wins");

            run = Process.Start(new ProcessStartInfo("mono", "\"" + exe + "\" a b --quality 101") { UseShellExecute = false, RedirectStandardError = true });
            run.StandardError.ReadToEnd();
            run.WaitForExit();
            Equal(2, run.ExitCode, "exit status of a usage error");
        });
    }
}
