#!/usr/bin/env python3
"""Asks tools we did not write (ffprobe/ffmpeg, mediainfo, GStreamer) what
they see in an AVI file, reads the AVI headers and the vprp chunk itself,
prints it all as one JSON object and optionally checks expectations.

    reader_check.py FILE.avi [--decode] [--seek] [--expect KEY=VALUE ...]
                    [--timeout S] [--decode-timeout S]

--decode   decode every video frame with ffmpeg (ffprobe -count_frames) and
           with GStreamer (filesrc ! avidemux ! avdec_huffyuv ! fakesink);
           a failed decode or a frame count that differs between the two
           counts as a mismatch.
--seek     exact seeks near the end with ffmpeg (-ss before -i, one frame
           decoded): to (duration - 1 s) and to the last frame's time. OK if
           ffmpeg exits 0, prints no error and gives a frame within one frame
           period of the asked time. A failed seek counts as a mismatch.
--expect   KEY=VALUE, repeatable. Every reader that reports KEY must agree,
           at least one must report it. Keys:
             duration=S[±T]        container/video duration, seconds
                                   (default tolerance 0.05 s; "+-" works too)
             video_duration=S[±T]  video stream only
             audio_duration=S[±T]  audio stream only
             frames=N[±T]          video frame count (headers, packets,
                                   decoded frames)
             frame_rate=N/D        e.g. 25/1 or 30000/1001
             dar=W:H               display aspect, e.g. 4:3 or 16:9
             sar=N:D               sample (pixel) aspect, e.g. 16:15
             size=WxH              e.g. 720x576
             field_order=bff|tff|progressive

Exit status: 0 all expectations met, 1 a mismatch (one line per mismatch on
stderr), 2 the file is missing or is not an AVI file at all.

What the readers report (Debian 12: FFmpeg 5.1, MediaInfoLib 23.04,
GStreamer 1.22), found on files written by FFmpeg's AVI muxer with HuffYUV
yuv422p 720x576@25 / 720x480@30000/1001, -field_order bb|tt, -aspect 4:3|16:9:

  vprp      FFmpeg writes nbFieldPerFrame 2 when field_order is set to an
            interlaced order, 1 otherwise (then the chunk is 68 bytes, not
            100). Valid Y start line per field: bb -> [1, 0], tt -> [0, 1],
            progressive -> [0]. dwFrameAspectRatio: FFmpeg writes
            wl16(den) then wl16(num), so high word = num, low word = den
            (4:3 = 0x00040003). dwVerticalRefreshRate is the frame rate
            rounded (25, and 30 for 30000/1001), not the field rate.
  ffprobe   sample_aspect_ratio / display_aspect_ratio come from vprp
            (16:15 -> 4:3, 64:45 and 32:27 -> 16:9); a file written
            without -aspect says 1:1 / 5:4. field_order is always "unknown"
            (the AVI demuxer reads only the aspect ratio from vprp, and the
            HuffYUV decoder never flags frames interlaced), so ffprobe does
            not count for field_order (it would, were it ever to report a
            known order). The PCM stream has no
            duration field; its duration here is the end of its last packet.
  mediainfo JSON track fields: General Duration/FrameCount/FrameRate,
            Video Duration, FrameCount, FrameRate ("29.970"),
            FrameRate_Num/_Den ("30000"/"1001"), DisplayAspectRatio
            ("1.333"/"1.778"), PixelAspectRatio ("1.067"), ScanType
            ("Interlaced"), ScanOrder ("BFF"/"TFF"), Standard ("PAL"/"NTSC").
            ScanType/ScanOrder come from vprp. It also prints
            ScanType_Original "Progressive" because the HuffYUV header says
            progressive unless the encoder ran with -flags +ilme. A file with
            one field per frame gives ScanType "Progressive" and no ScanOrder.
            Duration/FrameCount come from the headers, not from the data.
  GStreamer gst-discoverer-1.0 (package gstreamer1.0-plugins-base-apps, NOT
            part of gstreamer1.0-tools) gives Duration and "Pixel aspect
            ratio: 16/15" (avidemux takes it from vprp) and frame rate, but
            avidemux puts no interlace-mode or field-order into its caps, so
            discoverer says "Interlaced: false" for every file. That false
            only means "no interlace caps"; it is not counted for
            field_order. avdec_huffyuv's output caps say
            interlace-mode=progressive (FFmpeg's decoder never flags
            interlaced frames); also not counted. Without discoverer the
            demuxer caps are read with gst-launch-1.0 -v and there is no
            GStreamer duration, except the end time of the last decoded
            frame with --decode.

Files with no index. Cut copy (head -c half of a 4 s PAL file; headers
say 100 frames / 4 s, data holds 2 s and half a frame):
    avi       RIFF size runs past the end of the file, no idx1.
    ffprobe   format and video duration 2.0 (from the data), nb_frames 100
              (header), nb_read_packets 50: it counts the cut last frame
              (with a "Packet corrupt" warning) and ffmpeg decodes it
              without complaint, so 50 decoded frames.
    mediainfo Duration 4.000 and FrameCount 100, straight from the headers,
              plus "extra": {"IsTruncated": "Yes"} on the General track.
    GStreamer discoverer Duration 2.0; decoding gives 49 buffers: avidemux
              drops the cut chunk. So on a cut file ffmpeg and GStreamer
              disagree by one frame (--decode reports that as a mismatch).
  Recording killed with SIGKILL (FFmpeg leaves RIFF size 0xFFFFFFFF,
  avih/strh lengths 0, no idx1; 3.36 s of data):
    ffprobe   no format duration at all, video stream duration 0.0, no
              nb_frames, nb_read_packets 84 (the cut frame included, and
              decoded: 84 frames). Seeks near the end still work.
    mediainfo no Duration and no FrameCount, IsTruncated "Yes"; ScanType,
              ScanOrder and aspect still there (vprp is in the header).
    GStreamer discoverer Duration 3.36 (84 frames), 83 decoded buffers.
  OpenDML file (1.2 GB, RIFF 'AVI ' + 'AVIX') cut inside the AVIX part:
    ffprobe   duration 200 from the headers, 5699 of 5994 frames read; a
              seek to (duration - 1 s) exits 0 but gives no frame.
    mediainfo 200 s / 5994 frames from the headers, IsTruncated "Yes".
    GStreamer only plays the first RIFF section: 177.6 s, 5323 frames
              (the AVIX part's index is at its end, which is gone).
  The whole OpenDML file reads alike in all three (5994 frames, 200 s);
  avih dwTotalFrames there counts the first RIFF section only (5324), dmlh
  holds the total.
"""
import argparse
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
from fractions import Fraction

PROBE_TIMEOUT = 120
DECODE_TIMEOUT = 300


class Fatal(Exception):
    pass


def run(cmd, timeout, stdout_lines=None, merge_stderr=False):
    """Runs cmd; returns (rc, stdout, stderr). rc None on timeout or when cmd
    cannot be started, with the reason in stderr. stdout_lines: a function
    called per stdout line instead of collecting stdout (for huge outputs);
    when it returns True the command is stopped and rc is None.
    merge_stderr: stderr goes through stdout_lines too."""
    try:
        if stdout_lines is None:
            p = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=timeout, text=True, errors="replace")
            return p.returncode, p.stdout, p.stderr
        p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT if merge_stderr else subprocess.PIPE,
                             text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return None, "", "%s timed out after %s s" % (cmd[0], timeout)
    except OSError as e:
        return None, "", "cannot run %s: %s" % (cmd[0], e)
    err = []
    reader = None
    if not merge_stderr:
        reader = threading.Thread(target=lambda: err.append(p.stderr.read()), daemon=True)
        reader.start()
    stopped = None
    timed_out = threading.Event()

    def kill():
        timed_out.set()
        p.kill()

    timer = threading.Timer(timeout, kill)
    timer.start()
    try:
        for line in p.stdout:
            if stdout_lines(line):
                stopped = line.strip()
                p.kill()
                break
        p.wait()
    finally:
        timer.cancel()
        if p.poll() is None:
            p.kill()
            p.wait()
    if reader is not None:
        reader.join(10)
    if timed_out.is_set():
        return None, "", "%s timed out after %s s" % (cmd[0], timeout)
    if stopped is not None:
        return None, "", "%s stopped after: %s" % (cmd[0], stopped)
    return p.returncode, "", "".join(err)


def to_float(v):
    try:
        f = float(v)
    except (TypeError, ValueError):
        return None
    return f if math.isfinite(f) else None


def to_int(v):
    try:
        return int(v)
    except (TypeError, ValueError):
        return None


def ratio(s):
    """'16:15', '16/15', '4' -> Fraction, or None."""
    if s is None:
        return None
    s = str(s).strip()
    m = re.fullmatch(r"(\d+)\s*[:/]\s*(\d+)", s)
    try:
        if m:
            if int(m.group(2)) == 0:
                return None
            return Fraction(int(m.group(1)), int(m.group(2)))
        return Fraction(s)
    except (ValueError, ZeroDivisionError):
        return None


def fmt_ratio(fr, sep=":"):
    return None if fr is None else "%d%s%d" % (fr.numerator, sep, fr.denominator)


# ---------------------------------------------------------------- AVI headers

def read_chunks(f, start, end, limit=100000):
    """Yields (fourcc, data_offset, size, list_type) for chunks in
    [start, end). Stops at the end of the file or at a chunk that does not
    fit, which it yields with size None."""
    pos = start
    n = 0
    while pos + 8 <= end and n < limit:
        f.seek(pos)
        hdr = f.read(12)
        if len(hdr) < 8:
            return
        fourcc, size = hdr[:4], struct.unpack("<I", hdr[4:8])[0]
        list_type = hdr[8:12] if fourcc in (b"LIST", b"RIFF") and len(hdr) == 12 else None
        yield fourcc, pos + 8, size, list_type
        pos += 8 + size + (size & 1)
        n += 1


def parse_avi(path):
    """Reads the RIFF structure: hdrl (avih, strl/strh/vprp, odml/dmlh),
    top-level RIFF sections, idx1. Raises Fatal if it is not AVI at all."""
    out = {"riff_sections": [], "has_idx1": False, "cut": False}
    vprp = None
    file_size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(12)
        if len(head) < 12 or head[:4] != b"RIFF" or head[8:12] != b"AVI ":
            raise Fatal("%s is not an AVI file (no RIFF 'AVI ' header)" % path)
        pos = 0
        hdrl = None
        movi_seen = False
        # Top level: RIFF 'AVI ' then RIFF 'AVIX' ... A killed recording may
        # have size 0 or a size past the end of the file.
        while pos + 12 <= file_size:
            f.seek(pos)
            h = f.read(12)
            if h[:4] != b"RIFF":
                out["cut"] = True
                out["junk_at"] = pos
                break
            size = struct.unpack("<I", h[4:8])[0]
            section = {"form": h[8:12].decode("latin-1"), "offset": pos, "size": size}
            out["riff_sections"].append(section)
            end = pos + 8 + size
            if size < 4 or end > file_size:
                section["cut"] = True
                out["cut"] = True
                end = file_size
            for fourcc, data, csize, ltype in read_chunks(f, pos + 12, end):
                if data + csize > file_size:
                    out["cut"] = True
                if fourcc == b"LIST" and ltype == b"hdrl" and hdrl is None:
                    hdrl = (data + 4, min(data + csize, file_size))
                elif fourcc == b"LIST" and ltype == b"movi":
                    movi_seen = True
                elif fourcc == b"idx1":
                    out["has_idx1"] = True
            if size < 4 or pos + 8 + size > file_size:
                break
            pos += 8 + size + (size & 1)
        out["has_movi"] = movi_seen
        if hdrl is None:
            out["error"] = "no hdrl list"
            return out, None
        streams = []
        for fourcc, data, csize, ltype in read_chunks(f, *hdrl):
            if fourcc == b"avih" and csize >= 40:
                f.seek(data)
                a = struct.unpack("<10I", f.read(40))
                out["avih"] = {"usec_per_frame": a[0], "flags": a[3], "total_frames": a[4],
                               "streams": a[6], "width": a[8], "height": a[9]}
            elif fourcc == b"LIST" and ltype == b"strl":
                st = {}
                for c2, d2, s2, _ in read_chunks(f, data + 4, min(data + csize, hdrl[1])):
                    f.seek(d2)
                    body = f.read(min(s2, 4096))
                    if c2 == b"strh" and len(body) >= 36:
                        st["type"] = body[0:4].decode("latin-1")
                        st["handler"] = body[4:8].decode("latin-1")
                        scale, rate, start, length = struct.unpack("<4I", body[20:36])
                        st.update(scale=scale, rate=rate, start=start, length=length)
                    elif c2 == b"vprp":
                        st["vprp_raw"] = body
                    elif c2 == b"indx":
                        st["has_indx"] = True
                streams.append(st)
            elif fourcc == b"LIST" and ltype == b"odml":
                for c2, d2, s2, _ in read_chunks(f, data + 4, min(data + csize, hdrl[1])):
                    if c2 == b"dmlh" and s2 >= 4:
                        f.seek(d2)
                        out["dmlh_total_frames"] = struct.unpack("<I", f.read(4))[0]
        out["streams"] = []
        for st in streams:
            raw = st.pop("vprp_raw", None)
            out["streams"].append(st)
            if raw is not None and vprp is None and st.get("type") == "vids":
                vprp = parse_vprp(raw)
    return out, vprp


def parse_vprp(raw):
    n = len(raw) // 4
    if n < 9:
        return {"error": "vprp chunk too short (%d bytes)" % len(raw)}
    w = struct.unpack("<%dI" % n, raw[: n * 4])
    num, den = w[5] >> 16, w[5] & 0xFFFF
    fields = w[8]
    v = {
        "format_token": w[0],
        "video_standard": w[1],
        "frame_rate": w[2],
        "h_total": w[3],
        "v_total": w[4],
        "aspect": "%d:%d" % (num, den),
        "width": w[6],
        "height": w[7],
        "fields": fields,
        "start_lines": [],
        "field_info": [],
    }
    for i in range(min(fields, 16)):
        base = 9 + 8 * i
        if base + 8 > n:
            v["error"] = "vprp chunk holds fewer field records than nbFieldPerFrame"
            break
        fi = w[base:base + 8]
        v["field_info"].append({"compressed_height": fi[0], "compressed_width": fi[1],
                                "valid_height": fi[2], "valid_width": fi[3],
                                "valid_x_offset": fi[4], "valid_y_offset": fi[5],
                                "x_offset_in_t": fi[6], "valid_y_start_line": fi[7]})
        v["start_lines"].append(fi[7])
    if fields == 2 and v["start_lines"] == [1, 0]:
        v["field_order"] = "bff"
    elif fields == 2 and v["start_lines"] == [0, 1]:
        v["field_order"] = "tff"
    elif fields == 1:
        v["field_order"] = "progressive"
    else:
        # Still an answer, and a wrong one for any expectation.
        v["field_order"] = "odd (fields %d, start lines %s)" % (fields, v["start_lines"])
    return v


# ------------------------------------------------------------------- ffprobe

def unescape_compact(line):
    """Splits one line of ffprobe's compact output into (section, dict)."""
    parts, cur, i = [], [], 0
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line):
            nxt = line[i + 1]
            cur.append({"n": "\n", "r": "\r", "t": "\t"}.get(nxt, nxt))
            i += 2
            continue
        if c == "|":
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(c)
        i += 1
    parts.append("".join(cur))
    d = {}
    for p in parts[1:]:
        k, _, v = p.partition("=")
        d[k] = v
    return parts[0], d


def ffprobe_info(path, timeout, errors):
    if not shutil.which("ffprobe"):
        return {"missing": True}
    out = {}
    streams, fmt = [], {}
    pk = {}  # stream_index -> [count, last_pts, end]

    def on_line(line):
        line = line.rstrip("\n")
        if line.startswith("packet|"):
            _, d = unescape_compact(line)
            s = pk.setdefault(d.get("stream_index"), [0, None, None])
            s[0] += 1
            pts, dur = to_float(d.get("pts_time")), to_float(d.get("duration_time"))
            if pts is not None:
                s[1] = pts if s[1] is None else max(s[1], pts)
                e = pts + (dur or 0.0)
                s[2] = e if s[2] is None else max(s[2], e)
        elif line.startswith("stream|"):
            streams.append(unescape_compact(line)[1])
        elif line.startswith("format|"):
            fmt.update(unescape_compact(line)[1])

    rc, _, err = run(["ffprobe", "-v", "error", "-count_packets", "-show_streams",
                      "-show_format", "-show_entries",
                      "packet=stream_index,pts_time,duration_time", "-of", "compact",
                      path], timeout, stdout_lines=on_line)
    if rc != 0:
        msg = "ffprobe: " + (err.strip().splitlines()[-1] if err.strip() else "exit %s" % rc)
        errors.append(msg)
        out["error"] = msg
        if not streams:
            return out
    if err.strip():
        out["messages"] = err.strip().splitlines()[:20]
    out["duration"] = to_float(fmt.get("duration"))
    video = next((s for s in streams if s.get("codec_type") == "video"), None)
    audio = next((s for s in streams if s.get("codec_type") == "audio"), None)
    if video is None:
        errors.append("ffprobe: no video stream")
    else:
        vi = video.get("index")
        out["codec"] = video.get("codec_name")
        out["pix_fmt"] = video.get("pix_fmt")
        out["width"] = to_int(video.get("width"))
        out["height"] = to_int(video.get("height"))
        out["video_duration"] = to_float(video.get("duration"))
        out["video_frames"] = to_int(video.get("nb_read_packets"))
        out["video_frames_header"] = to_int(video.get("nb_frames"))
        s = pk.get(vi)
        out["video_last_frame_time"] = s[1] if s else None
        out["video_end"] = s[2] if s else None
        sar = ratio(video.get("sample_aspect_ratio"))
        dar = ratio(video.get("display_aspect_ratio"))
        out["sar"] = fmt_ratio(sar)
        out["dar"] = fmt_ratio(dar)
        fr = ratio(video.get("r_frame_rate"))
        out["frame_rate"] = fmt_ratio(fr, "/")
        out["avg_frame_rate"] = fmt_ratio(ratio(video.get("avg_frame_rate")), "/")
        fo = video.get("field_order")
        out["field_order_raw"] = fo
        out["field_order"] = fo if fo and fo not in ("unknown", "N/A") else None
    if audio is not None:
        ai = audio.get("index")
        s = pk.get(ai)
        out["audio_packets"] = to_int(audio.get("nb_read_packets"))
        out["audio_end"] = s[2] if s else None
        d = to_float(audio.get("duration"))
        out["audio_duration"] = d if d is not None else out["audio_end"]
        out["audio_duration_from"] = "stream" if d is not None else "packets"
        out["audio_sample_rate"] = to_int(audio.get("sample_rate"))
        out["audio_channels"] = to_int(audio.get("channels"))
    return out


def ffmpeg_decode(path, info, timeout, errors):
    rc, so, err = run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                       "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path],
                      timeout)
    info["decoded_frames"] = to_int(so.strip().split(",")[0]) if so.strip() else None
    lines = [l for l in err.splitlines() if l.strip()]
    info["decode_ok"] = rc == 0 and not lines and info["decoded_frames"] is not None
    if lines:
        info["decode_messages"] = lines[:20]
    if not info["decode_ok"]:
        errors.append("ffmpeg decode failed: %s" % (lines[-1] if lines else "exit %s" % rc))


def ffmpeg_seek_one(path, t, timeout):
    """Seeks with -ss before -i and decodes one video frame; returns a dict
    with the time of the frame that came out."""
    rc, so, err = run(["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-ss", "%.6f" % t,
                       "-copyts", "-i", path, "-map", "0:v:0", "-frames:v", "1",
                       "-f", "framecrc", "-"], timeout)
    tb = None
    frames = []
    for line in so.splitlines():
        m = re.match(r"#tb 0: (\d+)/(\d+)", line)
        if m:
            tb = Fraction(int(m.group(1)), int(m.group(2)))
        elif line and not line.startswith("#"):
            frames.append(line)
    got = None
    if frames and tb is not None:
        pts = to_int(frames[0].split(",")[1].strip())
        if pts is not None:
            got = float(pts * tb)
    lines = [l for l in err.splitlines() if l.strip()]
    return {"target": round(t, 6), "rc": rc, "frames": len(frames), "frame_time": got,
            "messages": lines[:10]}


def ffmpeg_seek(path, info, timeout, errors):
    if not shutil.which("ffmpeg"):
        info["seek_ok"] = None
        info["seek_error"] = "ffmpeg not installed"
        errors.append("ffmpeg not installed: cannot check seeks")
        return
    fr = ratio(info.get("frame_rate"))
    period = float(1 / fr) if fr else 0.04
    duration = info.get("duration") or info.get("video_duration") or info.get("video_end")
    last = info.get("video_last_frame_time")
    results = []
    if duration:
        results.append(ffmpeg_seek_one(path, max(0.0, duration - 1.0), timeout))
    if last is not None:
        results.append(ffmpeg_seek_one(path, last, timeout))
    ok = bool(results) and duration is not None and last is not None
    for r in results:
        r["ok"] = (r["rc"] == 0 and r["frames"] >= 1 and not r["messages"]
                   and r["frame_time"] is not None
                   and abs(r["frame_time"] - r["target"]) <= period + 0.001)
        ok = ok and r["ok"]
    info["seeks"] = results
    info["seek_ok"] = ok
    if not ok:
        errors.append("ffmpeg seek failed: %s" % json.dumps(results if results else
                                                             "no duration / last frame time"))


# ----------------------------------------------------------------- mediainfo

def mediainfo_info(path, timeout, errors):
    if not shutil.which("mediainfo"):
        return {"missing": True}
    rc, so, err = run(["mediainfo", "--Output=JSON", path], timeout)
    try:
        doc = json.loads(so)
        tracks = doc["media"]["track"]
    except (ValueError, KeyError, TypeError):
        msg = "mediainfo: no usable output (exit %s) %s" % (rc, err.strip()[:200])
        errors.append(msg)
        return {"error": msg}
    out = {}
    general = next((t for t in tracks if t.get("@type") == "General"), {})
    video = next((t for t in tracks if t.get("@type") == "Video"), None)
    audio = next((t for t in tracks if t.get("@type") == "Audio"), None)
    out["duration"] = to_float(general.get("Duration"))
    extra = general.get("extra") or {}
    out["truncated"] = extra.get("IsTruncated") == "Yes"
    if video is None:
        errors.append("mediainfo: no video track")
        return out
    out["video_duration"] = to_float(video.get("Duration"))
    out["frame_count"] = to_int(video.get("FrameCount"))
    out["scan_type"] = video.get("ScanType")
    out["scan_type_original"] = video.get("ScanType_Original")
    out["scan_order"] = video.get("ScanOrder")
    out["dar"] = to_float(video.get("DisplayAspectRatio"))
    out["par"] = to_float(video.get("PixelAspectRatio"))
    out["frame_rate"] = to_float(video.get("FrameRate"))
    if video.get("FrameRate_Num") and video.get("FrameRate_Den"):
        out["frame_rate_fraction"] = "%s/%s" % (video["FrameRate_Num"], video["FrameRate_Den"])
    out["width"] = to_int(video.get("Width"))
    out["height"] = to_int(video.get("Height"))
    out["standard"] = video.get("Standard")
    out["format"] = video.get("Format")
    if audio is not None:
        out["audio_duration"] = to_float(audio.get("Duration"))
    return out


# ----------------------------------------------------------------- GStreamer

def parse_caps(caps):
    d = {}
    for m in re.finditer(r"([\w-]+)=\(([\w]+)\)(\"[^\"]*\"|[^,]*)", caps):
        d[m.group(1)] = m.group(3).strip('"')
    d["_name"] = caps.split(",", 1)[0].strip()
    return d


def caps_summary(caps, out, prefix=""):
    par = ratio(caps.get("pixel-aspect-ratio"))
    if par is not None:
        out[prefix + "par"] = fmt_ratio(par, "/")
    fr = ratio(caps.get("framerate"))
    if fr is not None:
        out[prefix + "frame_rate"] = fmt_ratio(fr, "/")
    for k in ("width", "height"):
        if to_int(caps.get(k)) is not None:
            out[prefix + k] = to_int(caps.get(k))
    out[prefix + "interlace_mode"] = caps.get("interlace-mode")
    out[prefix + "field_order"] = caps.get("field-order")


def gst_uri(path):
    from urllib.parse import quote
    return "file://" + quote(os.path.abspath(path))


def gstreamer_info(path, timeout, errors):
    if not shutil.which("gst-launch-1.0") and not shutil.which("gst-discoverer-1.0"):
        return {"missing": True}
    out = {}
    if shutil.which("gst-discoverer-1.0"):
        out["from"] = "gst-discoverer-1.0"
        rc, so, err = run(["gst-discoverer-1.0", "-v", gst_uri(path)], timeout)
        text = so + err
        m = re.search(r"^\s*Duration: (\d+):(\d+):(\d+(?:\.\d+)?)", text, re.M)
        out["duration"] = (int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3))
                           if m else None)
        m = re.search(r"^\s*Seekable: (\w+)", text, re.M)
        out["seekable"] = (m.group(1) == "yes") if m else None
        vm = re.search(r"^\s*video #\d+: (.*)$", text, re.M)
        if vm:
            caps = parse_caps(vm.group(1))
            out["caps"] = caps["_name"]
            caps_summary(caps, out)
            im = re.search(r"^\s*Interlaced: (\w+)", text[vm.end():], re.M)
            out["interlaced"] = (im.group(1) == "true") if im else None
        else:
            msg = "gst-discoverer: no video stream found (exit %s)" % rc
            for l in text.splitlines():
                if "rror" in l or "timed out" in l:
                    msg += ": " + l.strip()
                    break
            errors.append(msg)
            out["error"] = msg
    elif shutil.which("gst-launch-1.0"):
        out["from"] = "gst-launch-1.0 (gst-discoverer-1.0 not installed: no duration)"
        out["duration"] = None
        lines = []

        def on_caps_line(line):
            lines.append(line)
            return gst_fatal(line)

        rc, so, err = run(["gst-launch-1.0", "-v", "filesrc", "location=" + path, "!",
                           "avidemux", "name=d", "d.video_0", "!", "fakesink", "name=vsink",
                           "num-buffers=1"], timeout, stdout_lines=on_caps_line,
                          merge_stderr=True)
        m = re.search(r"vsink\.GstPad:sink: caps = (.*)$", "".join(lines) + err, re.M)
        if m:
            caps = parse_caps(m.group(1))
            out["caps"] = caps["_name"]
            caps_summary(caps, out)
            out["interlaced"] = caps.get("interlace-mode") not in (None, "progressive")
        else:
            msg = "gst-launch: avidemux gave no video caps (exit %s)" % rc
            errors.append(msg)
            out["error"] = msg
    return out


def gst_fatal(line):
    """gst-launch keeps running after some failures (a demuxer pad that
    cannot be linked leaves the pipeline waiting forever): stop at those."""
    return line.startswith("ERROR") or "Delayed linking failed" in line \
        or "erroneous pipeline" in line


def gstreamer_decode(path, info, timeout, errors):
    if not shutil.which("gst-launch-1.0"):
        info["decode_ok"] = None
        info["decode_error"] = "gst-launch-1.0 not installed"
        return
    if shutil.which("gst-inspect-1.0"):
        absent = [e for e in ("avidemux", "avdec_huffyuv")
                  if run(["gst-inspect-1.0", "--exists", e], 30)[0] != 0]
        if absent:
            info["decode_ok"] = None
            info["decode_missing"] = True
            info["decode_error"] = "GStreamer element(s) not installed: " + ", ".join(absent)
            return
    count = [0]
    last = [None]
    dec_caps = [None]
    problems = []
    chain_re = re.compile(r"vsink: last-message = chain .*?pts: ([\d:.]+|none), "
                          r"duration: ([\d:.]+|none)")

    def gtime(s):
        if s == "none":
            return None
        h, m, sec = s.split(":")
        return int(h) * 3600 + int(m) * 60 + float(sec)

    def on_line(line):
        if "vsink: last-message = chain" in line:
            count[0] += 1
            m = chain_re.search(line)
            if m:
                p, d = gtime(m.group(1)), gtime(m.group(2))
                if p is not None:
                    e = p + (d or 0.0)
                    last[0] = e if last[0] is None else max(last[0], e)
        elif "avdec_huffyuv0.GstPad:src: caps = " in line or \
                ("dec.GstPad:src: caps = " in line):
            dec_caps[0] = line.split("caps = ", 1)[1].strip()
        elif line.startswith("ERROR") or line.startswith("WARNING") or gst_fatal(line):
            problems.append(line.strip())
        return gst_fatal(line)

    rc, _, err = run(["gst-launch-1.0", "-v", "filesrc", "location=" + path, "!", "avidemux",
                      "name=d", "d.video_0", "!", "queue", "!", "avdec_huffyuv", "name=dec",
                      "!", "fakesink", "name=vsink", "silent=false", "sync=false"],
                     timeout, stdout_lines=on_line, merge_stderr=True)
    for l in err.splitlines():
        if l.startswith("ERROR") or l.startswith("WARNING") or "No such element" in l \
                or "erroneous pipeline" in l:
            problems.append(l.strip())
    info["decoded_frames"] = count[0]
    info["decoded_end"] = last[0]
    if dec_caps[0]:
        c = parse_caps(dec_caps[0])
        info["decoded_interlace_mode"] = c.get("interlace-mode")
        info["decoded_field_order"] = c.get("field-order")
    info["decode_ok"] = rc == 0 and not any(p.startswith("ERROR") or "rror" in p
                                            for p in problems)
    if problems:
        info["decode_messages"] = problems[:20]
    if rc is None:
        problems.append(err.strip())
    if not info["decode_ok"]:
        errors.append("GStreamer decode failed (exit %s): %s"
                      % (rc, problems[0] if problems else "no message"))


# -------------------------------------------------------------- expectations

FIELD_NAMES = {"bff": "bff", "bb": "bff", "bottom": "bff", "bottom-field-first": "bff",
               "tff": "tff", "tt": "tff", "top": "tff", "top-field-first": "tff",
               "progressive": "progressive", "p": "progressive"}


def parse_number_tol(v, default_tol):
    v = v.replace("+-", "±").replace("+/-", "±")
    if "±" in v:
        a, b = v.split("±", 1)
        return float(a), float(b)
    return float(v), default_tol


def gather(key, r):
    """Returns a list of (reader.field, value) for all readers that could
    report key. value None = reported nothing."""
    ff, mi, gs, vp = (r.get(k) or {} for k in ("ffprobe", "mediainfo", "gstreamer", "vprp"))
    items = []

    def add(reader, sec, field):
        if sec.get("missing") or sec.get("not_run"):
            return
        items.append(("%s.%s" % (reader, field), sec.get(field)))

    if key == "duration":
        add("ffprobe", ff, "duration")
        add("ffprobe", ff, "video_duration")
        add("mediainfo", mi, "duration")
        add("mediainfo", mi, "video_duration")
        add("gstreamer", gs, "duration")
    elif key == "video_duration":
        add("ffprobe", ff, "video_duration")
        add("mediainfo", mi, "video_duration")
    elif key == "audio_duration":
        add("ffprobe", ff, "audio_duration")
        add("mediainfo", mi, "audio_duration")
    elif key == "frames":
        add("ffprobe", ff, "video_frames")
        add("ffprobe", ff, "video_frames_header")
        add("mediainfo", mi, "frame_count")
        if "decoded_frames" in ff:
            add("ffprobe", ff, "decoded_frames")
        if "decoded_frames" in gs:
            add("gstreamer", gs, "decoded_frames")
    elif key == "frame_rate":
        add("ffprobe", ff, "frame_rate")
        add("mediainfo", mi, "frame_rate")
        add("gstreamer", gs, "frame_rate")
        add("vprp", vp, "frame_rate")
    elif key == "dar":
        add("ffprobe", ff, "dar")
        add("mediainfo", mi, "dar")
        if not gs.get("missing") and "par" in gs:
            items.append(("gstreamer.par*width/height", gs_dar(gs)))
        elif not gs.get("missing"):
            items.append(("gstreamer.par*width/height", None))
        add("vprp", vp, "aspect")
    elif key == "sar":
        add("ffprobe", ff, "sar")
        add("mediainfo", mi, "par")
        add("gstreamer", gs, "par")
        if not vp.get("missing"):
            items.append(("vprp.aspect*height/width", vprp_sar(vp)))
    elif key == "size":
        for reader, sec in (("ffprobe", ff), ("mediainfo", mi), ("gstreamer", gs), ("vprp", vp)):
            if sec.get("missing") or sec.get("not_run"):
                continue
            w, h = sec.get("width"), sec.get("height")
            items.append(("%s.width x height" % reader,
                          "%dx%d" % (w, h) if w is not None and h is not None else None))
    elif key == "field_order":
        if not vp.get("missing"):
            items.append(("vprp.fields/start_lines", vp.get("field_order") if vp else None))
        if not mi.get("missing") and not mi.get("error"):
            items.append(("mediainfo.scan_type/scan_order", mi_field_order(mi)))
        add("ffprobe", ff, "field_order")
        if not gs.get("missing"):
            fo = gs.get("field_order")
            items.append(("gstreamer.field-order caps", fo))
    return items


def gs_dar(gs):
    par = ratio(gs.get("par"))
    if par is None or not gs.get("width") or not gs.get("height"):
        return None
    return fmt_ratio(par * Fraction(gs["width"], gs["height"]))


def vprp_sar(vp):
    a = ratio(vp.get("aspect"))
    if a is None or not vp.get("width") or not vp.get("height"):
        return None
    return fmt_ratio(a * Fraction(vp["height"], vp["width"]))


def mi_field_order(mi):
    st, so = mi.get("scan_type"), mi.get("scan_order")
    if st is None and so is None:
        return None
    if st == "Progressive" and not so:
        return "progressive"
    if so:
        order = {"BFF": "bff", "TFF": "tff"}.get(so, so)
        if st and st not in ("Interlaced", "MBAFF"):
            return "%s (but ScanType %s)" % (order, st)
        return order
    return "interlaced, no order" if st == "Interlaced" else st


def norm_field(v):
    if v is None:
        return None
    return FIELD_NAMES.get(str(v).lower(), str(v).lower())


def agrees(key, expected, value):
    if key in ("duration", "video_duration", "audio_duration", "frames"):
        want, tol = expected
        return abs(float(value) - want) <= tol + 1e-9
    if key == "frame_rate":
        want = expected
        got = ratio(value) if isinstance(value, str) else None
        if isinstance(value, (int, float)):
            if isinstance(value, int):      # vprp holds the rounded rate
                return value == round(float(want))
            return abs(value - float(want)) < 0.01
        return got == want
    if key in ("dar", "sar"):
        if isinstance(value, float):        # mediainfo gives 3 decimals
            return abs(value - float(expected)) < 0.002
        return ratio(value) == expected
    if key == "size":
        return str(value).lower() == expected
    if key == "field_order":
        return norm_field(value) == expected
    return False


def parse_expect(item):
    if "=" not in item:
        raise ValueError("--expect wants KEY=VALUE, got %r" % item)
    k, v = item.split("=", 1)
    k, v = k.strip().lower(), v.strip()
    if k in ("duration", "video_duration", "audio_duration"):
        return k, parse_number_tol(v, 0.05), v
    if k == "frames":
        return k, parse_number_tol(v, 0), v
    if k == "frame_rate":
        fr = ratio(v)
        if fr is None:
            raise ValueError("frame_rate wants N/D, got %r" % v)
        return k, fr, v
    if k in ("dar", "sar"):
        fr = ratio(v)
        if fr is None:
            raise ValueError("%s wants N:D, got %r" % (k, v))
        return k, fr, v
    if k == "size":
        if not re.fullmatch(r"\d+x\d+", v.lower()):
            raise ValueError("size wants WxH, got %r" % v)
        return k, v.lower(), v
    if k == "field_order":
        f = FIELD_NAMES.get(v.lower())
        if f is None:
            raise ValueError("field_order wants bff, tff or progressive, got %r" % v)
        return k, f, v
    raise ValueError("unknown --expect key %r" % k)


def check(expects, report):
    mismatches = []
    checks = {}
    for key, want, text in expects:
        items = gather(key, report)
        entry = {"expected": text, "agree": [], "disagree": {}, "not_reporting": []}
        for name, value in items:
            if value is None:
                entry["not_reporting"].append(name)
            elif agrees(key, want, value):
                entry["agree"].append(name)
            else:
                entry["disagree"][name] = value
                mismatches.append("%s: expected %s, %s says %s" % (key, text, name, value))
        if not entry["agree"] and not entry["disagree"]:
            mismatches.append("%s: expected %s, but no reader reports it (%s)"
                              % (key, text, ", ".join(entry["not_reporting"]) or "none available"))
        checks[key] = entry
    return checks, mismatches


# ---------------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description="Reports what ffprobe, mediainfo and GStreamer "
                                 "see in an AVI file; checks --expect values.")
    ap.add_argument("file")
    ap.add_argument("--decode", action="store_true", help="decode every video frame")
    ap.add_argument("--seek", action="store_true", help="check exact seeks near the end")
    ap.add_argument("--expect", action="append", default=[], metavar="KEY=VALUE")
    ap.add_argument("--timeout", type=float, default=PROBE_TIMEOUT,
                    help="seconds for each probe (default %(default)s)")
    ap.add_argument("--decode-timeout", type=float, default=DECODE_TIMEOUT,
                    help="seconds for each full read/decode (default %(default)s)")
    args = ap.parse_args(argv)

    try:
        expects = [parse_expect(e) for e in args.expect]
    except ValueError as e:
        print("reader_check: %s" % e, file=sys.stderr)
        return 2

    path = args.file
    if not os.path.isfile(path):
        print("reader_check: %s: no such file" % path, file=sys.stderr)
        return 2
    if not os.access(path, os.R_OK):
        print("reader_check: %s: not readable" % path, file=sys.stderr)
        return 2

    errors = []
    report = {"file": os.path.abspath(path), "size": os.path.getsize(path)}
    try:
        avi, vprp = parse_avi(path)
    except Fatal as e:
        print("reader_check: %s" % e, file=sys.stderr)
        return 2
    except OSError as e:
        print("reader_check: %s: %s" % (path, e), file=sys.stderr)
        return 2
    report["avi"] = avi
    if vprp is None:
        report["vprp"] = {"present": False}
        if not avi.get("error"):
            errors.append("no vprp chunk in the video stream's header")
    else:
        vprp["present"] = True
        report["vprp"] = vprp

    # The full read (-count_packets plus packet times) may take as long as
    # a decode on a big file.
    ff = ffprobe_info(path, args.decode_timeout, errors)
    report["ffprobe"] = ff
    report["mediainfo"] = mediainfo_info(path, args.timeout, errors)
    report["gstreamer"] = gstreamer_info(path, args.timeout, errors)

    fails = []
    if args.decode:
        if not ff.get("missing"):
            ffmpeg_decode(path, ff, args.decode_timeout, errors)
            if not ff.get("decode_ok"):
                fails.append("ffmpeg could not decode the video cleanly")
        gs = report["gstreamer"]
        if not gs.get("missing"):
            gstreamer_decode(path, gs, args.decode_timeout, errors)
            if gs.get("decode_ok") is False:
                fails.append("GStreamer could not decode the video cleanly")
        a = ff.get("decoded_frames") if not ff.get("missing") else None
        b = gs.get("decoded_frames") if not gs.get("missing") else None
        if a is not None and b is not None and a != b:
            fails.append("decoded frames differ: ffmpeg %d, GStreamer %d" % (a, b))
    if args.seek:
        if ff.get("missing"):
            fails.append("--seek needs ffmpeg/ffprobe, which are not installed")
        else:
            ffmpeg_seek(path, ff, args.decode_timeout, errors)
            if not ff.get("seek_ok"):
                fails.append("ffmpeg could not seek exactly near the end")

    checks, mismatches = check(expects, report)
    if expects:
        # A reader that is installed but failed would otherwise just drop
        # out of every comparison.
        for reader in ("ffprobe", "mediainfo", "gstreamer"):
            if report[reader].get("error"):
                fails.append("%s failed: %s" % (reader, report[reader]["error"]))
    if checks:
        report["checks"] = checks
    report["errors"] = errors
    mismatches = fails + mismatches
    report["mismatches"] = mismatches
    print(json.dumps(report, indent=1, sort_keys=False, default=str))
    for m in mismatches:
        print("reader_check: MISMATCH %s" % m, file=sys.stderr)
    return 1 if mismatches else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
