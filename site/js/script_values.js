// Reads values out of the script statements the server writes into its pages
// (the room list of the start page, the lines of a message page) without
// running them: the pages run no script but their own files.
(function () {
  "use strict";
  // The text of a double-quoted script string, its backslash escapes undone
  // (the server writes \\ \" \r \n <\/ <\!-- ; others are read as the
  // language reads them).
  function unquote(body) {
    return body.replace(/\\(x[0-9a-fA-F]{2}|u[0-9a-fA-F]{4}|[\s\S])/g, function (_, c) {
      if (c.length > 1) return String.fromCharCode(parseInt(c.slice(1), 16));
      return c == "n" ? "\n" : c == "r" ? "\r" : c == "t" ? "\t" : c;
    });
  }
  // The items of "var NAME = new Array(...)" in `code`, each as text (a
  // quoted item unquoted, a bare one as written); [] when there is none.
  function array(code, name) {
    var m = new RegExp("var " + name + " = new Array\\(((?:\"(?:[^\"\\\\]|\\\\[\\s\\S])*\"|[^\")])*)\\)").exec(code);
    if (!m) return [];
    var out = [], re = /"((?:[^"\\]|\\[\s\S])*)"|([^,\s"]+)/g, t;
    while ((t = re.exec(m[1]))) out.push(t[1] === undefined ? t[2] : unquote(t[1]));
    return out;
  }
  // The number of "var NAME = 12" in `code`, or 0.
  function number(code, name) {
    var m = new RegExp("var " + name + " = (-?\\d+)").exec(code);
    return m ? +m[1] : 0;
  }
  window.tvlScript = { unquote: unquote, array: array, number: number };
})();
