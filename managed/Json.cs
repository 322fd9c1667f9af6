// A small JSON reader for the bodies of the session endpoints.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace vCloudSDKWrapper
{
    // Reads the JSON bodies of the session endpoints into nested dictionaries, lists, strings, doubles,
    // booleans and nulls. It keeps its open containers on a list of its own instead of recursing, so a
    // body's nesting costs heap within maxNestingDepth, never stack.
    internal sealed class Json
    {
        private readonly string s;
        private int i;
        private Json(string text) { s = text; }

        public static object Parse(string text, int maxDepth = 100, long maxNodes = 1000000)
        {
            return new Json(text ?? "").Document(maxDepth, maxNodes);
        }

        public static string Str(object node, params string[] path)
        {
            foreach (var key in path)
            {
                var map = node as Dictionary<string, object>;
                if (map == null || !map.TryGetValue(key, out node)) return "";
            }
            if (node is string) return (string)node;
            if (node is double) return ((double)node).ToString(CultureInfo.InvariantCulture);
            return "";
        }

        private void Space() { while (i < s.Length && char.IsWhiteSpace(s[i])) i++; }

        private object Document(int maxDepth, long maxNodes)
        {
            var open = new List<object>();      // the containers that are not closed yet, innermost last
            var keys = new List<string>();      // per open container, the key its next value goes to
            object root = null;
            long nodes = 0;
            Space();
            while (true)
            {
                // A value starts here.
                if (i >= s.Length) throw new FormatException("unexpected end of JSON");
                if (++nodes > maxNodes) throw new FormatException("more than " + maxNodes + " JSON values (maxNodes)");
                char c = s[i];
                bool closedAtOnce = false;
                if (c == '{' || c == '[')
                {
                    if (open.Count >= maxDepth) throw new FormatException("JSON nested deeper than " + maxDepth + " levels (maxNestingDepth)");
                    i++;
                    object container = c == '{' ? (object)new Dictionary<string, object>() : new List<object>();
                    Attach(open, keys, ref root, container);
                    open.Add(container);
                    keys.Add(null);
                    Space();
                    if (i < s.Length && s[i] == (c == '{' ? '}' : ']'))
                    {
                        i++;
                        open.RemoveAt(open.Count - 1);
                        keys.RemoveAt(keys.Count - 1);
                        closedAtOnce = true;
                    }
                    else
                    {
                        if (c == '{') keys[keys.Count - 1] = Key();
                        continue;
                    }
                }
                if (!closedAtOnce) Attach(open, keys, ref root, Scalar());
                // After a value: the end of the document, a comma or the close of the innermost container.
                while (true)
                {
                    Space();
                    if (open.Count == 0)
                    {
                        if (i != s.Length) throw new FormatException("text after the JSON value");
                        return root;
                    }
                    bool isMap = open[open.Count - 1] is Dictionary<string, object>;
                    if (i < s.Length && s[i] == ',')
                    {
                        i++;
                        Space();
                        if (isMap) keys[keys.Count - 1] = Key();
                        break;
                    }
                    if (i < s.Length && s[i] == (isMap ? '}' : ']'))
                    {
                        i++;
                        open.RemoveAt(open.Count - 1);
                        keys.RemoveAt(keys.Count - 1);
                        continue;
                    }
                    throw new FormatException("expected ',' or '" + (isMap ? '}' : ']') + "' at " + i);
                }
            }
        }

        private static void Attach(List<object> open, List<string> keys, ref object root, object value)
        {
            if (open.Count == 0) { root = value; return; }
            var map = open[open.Count - 1] as Dictionary<string, object>;
            if (map != null) map[keys[keys.Count - 1]] = value;
            else ((List<object>)open[open.Count - 1]).Add(value);
        }

        // A member's key and its colon; leaves i at the value.
        private string Key()
        {
            Space();
            if (i >= s.Length || s[i] != '"') throw new FormatException("expected a JSON key at " + i);
            string key = String();
            Space();
            if (i >= s.Length || s[i] != ':') throw new FormatException("expected ':' at " + i);
            i++;
            Space();
            return key;
        }

        private object Scalar()
        {
            char c = s[i];
            if (c == '"') return String();
            if (Word("true")) return true;
            if (Word("false")) return false;
            if (Word("null")) return null;
            int start = i;
            while (i < s.Length && "+-0123456789.eE".IndexOf(s[i]) >= 0) i++;
            double d;
            if (i == start || !double.TryParse(s.Substring(start, i - start), NumberStyles.Float, CultureInfo.InvariantCulture, out d))
                throw new FormatException("bad JSON value at " + start);
            return d;
        }

        private bool Word(string w)
        {
            if (string.CompareOrdinal(s, i, w, 0, w.Length) != 0) return false;
            i += w.Length;
            return true;
        }

        private string String()
        {
            var sb = new StringBuilder();
            i++;
            while (i < s.Length)
            {
                char c = s[i++];
                if (c == '"') return sb.ToString();
                if (c != '\\') { sb.Append(c); continue; }
                if (i >= s.Length) break;
                char e = s[i++];
                switch (e)
                {
                    case 'n': sb.Append('\n'); break;
                    case 't': sb.Append('\t'); break;
                    case 'r': sb.Append('\r'); break;
                    case 'b': sb.Append('\b'); break;
                    case 'f': sb.Append('\f'); break;
                    case 'u':
                        if (i + 4 > s.Length) throw new FormatException("bad \\u escape");
                        sb.Append((char)int.Parse(s.Substring(i, 4), NumberStyles.HexNumber, CultureInfo.InvariantCulture));
                        i += 4;
                        break;
                    default: sb.Append(e); break;
                }
            }
            throw new FormatException("unterminated JSON string");
        }
    }
}
