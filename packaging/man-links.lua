-- Pandoc filter for the man pages. The Markdown docs name one another by
-- paths in the source tree ("mail.md", "docs/mail.md"); an installed system
-- has them in the package's documentation directory, so the pages name that.
local docdir = "/usr/share/doc/zentok/docs/"

local function installedPath(target)
  local name = target:match("^docs/([%w_%-]+%.md)$") or target:match("^([%w_%-]+%.md)$")
  if name then
    return docdir .. name
  end
  return nil
end

-- The path with troff's optional break point after each slash, so a path in a
-- narrow table column can wrap instead of overrunning it.
local function pathInlines(path)
  local inlines = pandoc.List()
  for piece in path:gmatch("[^/]*/?") do
    if piece ~= "" then
      inlines:insert(pandoc.Str(piece))
      if piece:sub(-1) == "/" then
        inlines:insert(pandoc.RawInline("man", "\\:"))
      end
    end
  end
  return inlines
end

-- The man writer drops the target of a relative link, so the path is written
-- out: "[mail](mail.md)" becomes "mail (/usr/share/.../mail.md)", and a link
-- whose text is the file name becomes the path alone.
function Link(link)
  local path = installedPath(link.target)
  if not path then
    return nil
  end
  if installedPath(pandoc.utils.stringify(link.content)) then
    return pathInlines(path)
  end
  local inlines = pandoc.List(link.content)
  inlines:insert(pandoc.Space())
  inlines:insert(pandoc.Str("("))
  inlines:extend(pathInlines(path))
  inlines:insert(pandoc.Str(")"))
  return inlines
end

-- Plain mentions such as "See docs/modbus.md." or "(docs/mail.md)"; a Str is
-- one word, so it holds one mention at most.
function Str(str)
  local before, name, after = str.text:match("^(.-)docs/([%w_%-]+%.md)(.*)$")
  if not name or before:match("[/%w]$") then
    return nil
  end
  local inlines = pandoc.List({ pandoc.Str(before) })
  inlines:extend(pathInlines(docdir .. name))
  inlines:insert(pandoc.Str(after))
  return inlines
end

-- A configuration line in code ("coupler;journal[;NAME[;MAXBYTES;KEEP]]") is
-- one word to troff, too wide for a table's column: it gets a break point
-- after each ";", written as the man writer writes code. Only plain ASCII
-- is written so; anything else stays with the writer.
local function breakableCode(text)
  if not text:find(";", 1, true) or text:find("[^%w%s;:,%.%[%]%(%)%*%+%-_/=<>|@#%%&!?\"'{}~^$]") then
    return nil
  end
  local escaped = text:gsub("\\", "\\e"):gsub("%-", "\\-"):gsub(";", ";\\:")
  return pandoc.RawInline("man", "\\f[V]\\&" .. escaped .. "\\f[R]")
end

function Code(code)
  local text = code.text:gsub("^docs/([%w_%-]+%.md)", docdir .. "%1")
  text = text:gsub("([^/%w])docs/([%w_%-]+%.md)", "%1" .. docdir .. "%2")
  local breakable = breakableCode(text)
  if breakable then
    return breakable
  end
  if text ~= code.text then
    code.text = text
    return code
  end
  return nil
end

-- Ragged right: a path in a narrow table column fills a line of its own,
-- which troff cannot stretch to both margins.
function Pandoc(doc)
  doc.blocks:insert(1, pandoc.RawBlock("man", ".ad l"))
  return doc
end
